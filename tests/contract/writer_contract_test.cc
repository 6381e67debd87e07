// The asset writer's contract, as the sink relies on it, run against every writer that builds
// here: the strict double, and on Linux the FFmpeg writer. A writer that behaves otherwise than
// the others would hide a fault of the core on the platform that has it.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "capture/fake_writer.h"
#include "contract/implementation_name.h"
#include "support/fake_sample_buffer.h"
#include "support/temp_folder.h"
#include "support/violation.h"

#ifndef __APPLE__
#include "platform/ffmpeg/ffmpeg_asset_writer.h"
#include "platform/ffmpeg/ffmpeg_common.h"
#include "platform/linux/pcm_sample_buffer.h"
#endif

namespace sorvanel {
namespace {

namespace fs = std::filesystem;

const Error kFileExists("NSCocoaErrorDomain", 516, "The file already exists.");

AudioOutputSettings aacSettings() {
    return {kAudioFormatMPEG4AAC, 48000, 2, 192000};
}

// The file each implementation writes, in a folder of the test's own.
class Folder {
  public:
    fs::path file() const { return folder_.path() / "take.m4a"; }

  private:
    testing::TempFolder folder_;
};

// How each implementation is made, fed, and made to fail the start the same way: something
// appears at the path after the writer was made.
struct StrictDouble {
    static constexpr const char* kName = "StrictDouble";
    testing::FakeWriters writers;
    AssetWriterFactory& factory() { return writers; }
    std::unique_ptr<SampleBuffer> buffer(std::int64_t frame) {
        return std::make_unique<testing::FakeSampleBuffer>(frame);
    }
    void occupy(const fs::path&) { writers.writer->startAnswers = {{false, kFileExists}}; }
};

#ifndef __APPLE__
struct Ffmpeg {
    static constexpr const char* kName = "Ffmpeg";
    Ffmpeg() { silenceFfmpegLogging(); }
    FfmpegAssetWriterFactory writers;
    AssetWriterFactory& factory() { return writers; }
    std::unique_ptr<SampleBuffer> buffer(std::int64_t frame) {
        return std::make_unique<PcmSampleBuffer>(MediaTime{frame, 48000}, 48000, 2, 960);
    }
    void occupy(const fs::path& file) { std::ofstream(file) << "kept"; }
};
using Writers = ::testing::Types<StrictDouble, Ffmpeg>;
#else
using Writers = ::testing::Types<StrictDouble>;
#endif

template <class Implementation>
class WriterContract : public ::testing::Test {
  protected:
    Folder folder;
    Implementation implementation;
    std::shared_ptr<AssetWriter> writer;
    std::shared_ptr<AssetWriterInput> input;

    void make() {
        writer = implementation.factory().makeWriter(folder.file().string(), FileType::appleM4A);
        input = implementation.factory().makeInput(MediaType::audio, aacSettings());
        input->setExpectsMediaDataInRealTime(true);
        writer->addInput(input);
    }
};

TYPED_TEST_SUITE(WriterContract, Writers, testing::ImplementationName);

TYPED_TEST(WriterContract, WritesAndFinishesOnceOnAnotherThreadWithoutAnError) {
    this->make();
    EXPECT_EQ(this->writer->error(), std::nullopt);
    ASSERT_TRUE(this->writer->startWriting());
    this->writer->startSessionAtSourceTime({0, 48000});
    for (std::int64_t frame = 0; frame < 9600; frame += 960) {
        if (!this->input->isReadyForMoreMediaData()) continue;
        ASSERT_TRUE(this->input->appendSampleBuffer(*this->implementation.buffer(frame)));
    }
    EXPECT_EQ(this->writer->error(), std::nullopt);
    this->input->markAsFinished();
    std::promise<std::thread::id> finished;
    this->writer->finishWriting([&] { finished.set_value(std::this_thread::get_id()); });
    EXPECT_NE(finished.get_future().get(), std::this_thread::get_id());
    EXPECT_EQ(this->writer->error(), std::nullopt);
}

TYPED_TEST(WriterContract, StartThatFailsSaysNoAndItsErrorStays) {
    this->make();
    this->implementation.occupy(this->folder.file());
    EXPECT_FALSE(this->writer->startWriting());
    const std::optional<Error> error = this->writer->error();
    ASSERT_TRUE(error);
    EXPECT_FALSE(error->description().empty());
    EXPECT_EQ(this->writer->error(), error) << "a failed writer's error stays";
    EXPECT_FALSE(this->input->isReadyForMoreMediaData());
}

}  // namespace
}  // namespace sorvanel
