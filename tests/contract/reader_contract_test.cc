// The audio-file reader's contract, as audioMetrics relies on it, run against every reader that
// builds here: the strict double, and on Linux the FFmpeg reader.
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "analysis/scripted_file.h"
#include "contract/implementation_name.h"

#ifndef __APPLE__
#include "ffmpeg_reader/test_media.h"
#include "platform/ffmpeg/ffmpeg_audio_file.h"
#include "platform/ffmpeg/ffmpeg_common.h"
#endif

namespace sorvanel {
namespace {

constexpr std::int64_t kFrames = 10000;
constexpr std::uint32_t kChannels = 2;
constexpr float kSample = 0.25f;

// Each implementation holds a stereo 48000 Hz file of kFrames frames, every sample kSample.
struct StrictDouble {
    static constexpr const char* kName = "StrictDouble";
    testing::FileScript script;
    testing::ScriptedReader reader{script};
    StrictDouble() {
        script.length = kFrames;
        script.chunks = testing::chunksOf(kFrames, kChannels, [](auto, auto) { return kSample; });
    }
    std::string path() const { return "/takes/take.m4a"; }
};

#ifndef __APPLE__
struct Ffmpeg {
    static constexpr const char* kName = "Ffmpeg";
    testing::TempPath file{".wav"};
    FfmpegAudioFileReader reader;
    Ffmpeg() {
        silenceFfmpegLogging();
        testing::writeFloatWav(file.str(), 48000, kChannels, kFrames,
                               [](auto, auto) { return kSample; });
    }
    std::string path() const { return file.str(); }
};
using Readers = ::testing::Types<StrictDouble, Ffmpeg>;
#else
using Readers = ::testing::Types<StrictDouble>;
#endif

template <class Implementation>
class ReaderContract : public ::testing::Test {
  protected:
    Implementation implementation;
};
TYPED_TEST_SUITE(ReaderContract, Readers, testing::ImplementationName);

TYPED_TEST(ReaderContract, ReadsDeliverExactlyTheLengthAndThePositionFollowsThem) {
    auto file = this->implementation.reader.openForReading(this->implementation.path());
    EXPECT_EQ(file->processingFormat().sampleRate, 48000.0);
    EXPECT_EQ(file->processingFormat().channelCount, kChannels);
    ASSERT_EQ(file->length(), kFrames);  // known before the first read
    EXPECT_EQ(file->framePosition(), 0);
    ASSERT_TRUE(file->makeReadBuffer(4096));
    std::int64_t delivered = 0;
    while (file->framePosition() < file->length()) {
        const PcmBufferView view = file->readIntoBuffer();
        ASSERT_NE(view.floatChannelData, nullptr);
        ASSERT_GT(view.frameLength, 0u) << "a read short of the length delivers something";
        EXPECT_LE(view.frameLength, view.frameCapacity);
        EXPECT_EQ(view.frameCapacity, 4096u);
        for (std::uint32_t c = 0; c < kChannels; ++c)
            for (std::uint32_t i = 0; i < view.frameLength; ++i)
                ASSERT_EQ(view.floatChannelData[c][i], kSample);
        delivered += view.frameLength;
        EXPECT_EQ(file->framePosition(), delivered);
    }
    EXPECT_EQ(delivered, kFrames);
}

}  // namespace
}  // namespace sorvanel
