#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <random>

#include "analysis/audio_metrics.h"
#include "platform/ffmpeg/ffmpeg_audio_file.h"
#include "runtime/error.h"
#include "test_media.h"

namespace sorvanel {
namespace {

using testing::TempPath;
using testing::writeAacM4a;
using testing::writeFloatWav;

constexpr double kHalfDbfs = -6.020599913279624;

template <class T>
T get(const ResultObject& metrics, const char* key) {
    return std::get<T>(metrics.entries.at(key));
}

// Reads the whole file through the seam into one vector per channel, checking the positions.
std::vector<std::vector<float>> readAll(const std::string& path) {
    FfmpegAudioFileReader reader;
    const auto file = reader.openForReading(path);
    const AudioFormat format = file->processingFormat();
    EXPECT_TRUE(file->makeReadBuffer(4096));
    std::vector<std::vector<float>> samples(format.channelCount);
    std::int64_t delivered = 0;
    while (file->framePosition() < file->length()) {
        const PcmBufferView buffer = file->readIntoBuffer();
        EXPECT_GT(buffer.frameLength, 0u);
        if (buffer.frameLength == 0) break;
        for (std::uint32_t c = 0; c < format.channelCount; ++c) {
            const float* plane = buffer.floatChannelData[c];
            samples[c].insert(samples[c].end(), plane, plane + buffer.frameLength);
        }
        delivered += buffer.frameLength;
        EXPECT_EQ(file->framePosition(), delivered);
    }
    EXPECT_EQ(delivered, file->length());
    return samples;
}

std::int64_t framesOf(const std::string& path) {
    return static_cast<std::int64_t>(readAll(path).front().size());
}

// How far decoded audio lies from its source when shifted by `shift` frames, in dB.
double distance(const std::vector<float>& decoded, const testing::SampleFunction& source,
                std::int64_t shift) {
    double error = 0.0, signal = 0.0;
    for (std::int64_t i = 4096; i < static_cast<std::int64_t>(decoded.size()) - 4096; ++i) {
        const double want = source(i + shift, 0);
        error += (decoded[static_cast<std::size_t>(i)] - want) *
                 (decoded[static_cast<std::size_t>(i)] - want);
        signal += want * want;
    }
    return 10.0 * std::log10(error / signal);
}

ResultObject measure(const std::string& path) {
    FfmpegAudioFileReader reader;
    return audioMetrics(reader, path);
}

std::string errorOf(const std::string& path) {
    try {
        measure(path);
    } catch (const Error& error) {
        return error.description();
    }
    return "no error";
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void spill(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

int openDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (readdir(dir)) ++count;
    closedir(dir);
    return count;
}

TEST(FfmpegReaderWav, FloatSamplesComeBackExactlyPlaneByPlane) {
    TempPath wav(".wav");
    const auto ramp = [](std::int64_t frame, std::uint32_t channel) {
        return static_cast<float>(frame % 1000) / 1000.0f * static_cast<float>(channel + 1) - 1.5f;
    };
    writeFloatWav(wav.str(), 44100, 3, 10001, ramp);
    const auto samples = readAll(wav.str());
    ASSERT_EQ(samples.size(), 3u);
    for (std::uint32_t c = 0; c < 3; ++c) {
        ASSERT_EQ(samples[c].size(), 10001u);
        for (std::size_t i = 0; i < samples[c].size(); ++i)
            ASSERT_EQ(samples[c][i], ramp(static_cast<std::int64_t>(i), c)) << i << " " << c;
    }
}

TEST(FfmpegReaderWav, KnownSignalsMeasureBitExactly) {
    TempPath wav(".wav");
    writeFloatWav(wav.str(), 48000, 2, 480000, [](std::int64_t, std::uint32_t) { return 0.5f; });
    ResultObject m = measure(wav.str());
    EXPECT_EQ(get<double>(m, "peak_dbfs"), kHalfDbfs);
    EXPECT_EQ(get<double>(m, "rms_dbfs"), kHalfDbfs);
    EXPECT_TRUE(get<bool>(m, "has_signal"));
    EXPECT_EQ(get<double>(m, "duration_seconds"), 10.0);
    EXPECT_EQ(get<double>(m, "sample_rate"), 48000.0);
    EXPECT_EQ(get<std::uint32_t>(m, "channels"), 2u);
    EXPECT_EQ(get<std::vector<float>>(m, "waveform"), std::vector<float>(118, 0.5f));

    writeFloatWav(wav.str(), 48000, 2, 5000,
                  [](std::int64_t frame, std::uint32_t) { return frame % 2 ? 1.0f : -1.0f; });
    m = measure(wav.str());
    EXPECT_EQ(get<double>(m, "peak_dbfs"), 0.0);
    EXPECT_EQ(get<double>(m, "rms_dbfs"), 0.0);

    writeFloatWav(wav.str(), 48000, 2, 5000, [](std::int64_t, std::uint32_t) { return 0.0f; });
    m = measure(wav.str());
    EXPECT_EQ(get<double>(m, "peak_dbfs"), -180.0);
    EXPECT_EQ(get<double>(m, "rms_dbfs"), -180.0);
    EXPECT_FALSE(get<bool>(m, "has_signal"));
    EXPECT_EQ(get<std::vector<float>>(m, "waveform"), std::vector<float>(2, 0.0f));
}

TEST(FfmpegReaderWav, SixChannelsAndAnEmptyFile) {
    TempPath wav(".wav");
    writeFloatWav(wav.str(), 48000, 6, 4097,
                  [](std::int64_t, std::uint32_t channel) { return channel == 5 ? -0.5f : 0.0f; });
    ResultObject m = measure(wav.str());
    EXPECT_EQ(get<std::uint32_t>(m, "channels"), 6u);
    EXPECT_EQ(get<double>(m, "peak_dbfs"), kHalfDbfs);
    EXPECT_EQ(get<double>(m, "rms_dbfs"), std::log10(std::sqrt(0.25 / 6.0)) * 20.0);
    EXPECT_EQ(get<std::vector<float>>(m, "waveform"), (std::vector<float>{0.5f, 0.5f}));

    writeFloatWav(wav.str(), 44100, 2, 0, [](std::int64_t, std::uint32_t) { return 0.0f; });
    m = measure(wav.str());
    EXPECT_EQ(get<double>(m, "duration_seconds"), 0.0);
    EXPECT_EQ(get<double>(m, "sample_rate"), 44100.0);
    EXPECT_EQ(get<std::uint32_t>(m, "channels"), 2u);
    EXPECT_EQ(get<double>(m, "peak_dbfs"), -180.0);
    EXPECT_FALSE(get<bool>(m, "has_signal"));
    EXPECT_TRUE(get<std::vector<float>>(m, "waveform").empty());
}

TEST(FfmpegReaderAac, LengthExcludesPrimingAndPadding) {
    TempPath m4a(".m4a");
    // 440 Hz at half scale, faded in so the onset does not overshoot.
    const auto tone = [](std::int64_t frame, std::uint32_t channel) {
        const float fade = std::min(1.0f, static_cast<float>(frame) / 4800.0f);
        return 0.5f * fade *
               std::sin(static_cast<float>(frame) * 0.0576f + static_cast<float>(channel));
    };
    writeAacM4a(m4a.str(), 48000, 2, 480000, 192000, tone);
    const auto decoded = readAll(m4a.str());
    EXPECT_EQ(decoded.front().size(), 480000u);
    // Frame 0 is the first frame written: the priming is gone, nothing else is.
    EXPECT_LT(distance(decoded.front(), tone, 0), -20.0);
    EXPECT_GT(distance(decoded.front(), tone, 1024), 0.0);
    EXPECT_GT(distance(decoded.front(), tone, -1024), 0.0);
    const ResultObject m = measure(m4a.str());
    EXPECT_EQ(get<double>(m, "duration_seconds"), 10.0);
    EXPECT_EQ(get<double>(m, "sample_rate"), 48000.0);
    EXPECT_EQ(get<std::uint32_t>(m, "channels"), 2u);
    EXPECT_EQ(get<std::vector<float>>(m, "waveform").size(), 118u);
    EXPECT_NEAR(get<double>(m, "peak_dbfs"), kHalfDbfs, 1.0);
    EXPECT_NEAR(get<double>(m, "rms_dbfs"), kHalfDbfs - 3.0103, 0.2);

    // Lengths that fill no whole AAC frame, and six channels.
    writeAacM4a(m4a.str(), 48000, 2, 48333, 192000, tone);
    EXPECT_EQ(framesOf(m4a.str()), 48333);
    writeAacM4a(m4a.str(), 48000, 6, 1000, 384000, tone);
    EXPECT_EQ(framesOf(m4a.str()), 1000);
    EXPECT_EQ(get<std::uint32_t>(measure(m4a.str()), "channels"), 6u);
}

TEST(FfmpegReaderErrors, DescriptionsNameThePath) {
    TempPath missing(".m4a");
    EXPECT_EQ(errorOf(missing.str()),
              "Cannot open " + missing.str() + ": No such file or directory");

    TempPath empty(".m4a");
    spill(empty.str(), "");
    EXPECT_EQ(errorOf(empty.str()),
              "Cannot read " + empty.str() + ": it is not an audio file that can be decoded.");

    TempPath text(".m4a");
    spill(text.str(), std::string(5000, 'x'));
    EXPECT_EQ(errorOf(text.str()),
              "Cannot read " + text.str() + ": it is not an audio file that can be decoded.");
}

long peakResidentKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// A WAV header whose INFO chunk claims 1.8 GB in a file of a few hundred bytes.
TEST(FfmpegReaderErrors, SizesThatHeadersOverstateAllocateNothingHuge) {
    const auto le32 = [](std::uint32_t v) {
        return std::string{static_cast<char>(v), static_cast<char>(v >> 8),
                           static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
    };
    const auto le16 = [](std::uint16_t v) {
        return std::string{static_cast<char>(v), static_cast<char>(v >> 8)};
    };
    const std::string bytes = "RIFF" + le32(400) + "WAVE" + "fmt " + le32(16) + le16(1) + le16(2) +
                              le32(48000) + le32(192000) + le16(4) + le16(16) + "LIST" +
                              le32(0xF6000000u) + "INFO" + "ISFT" + le32(0x70000000u) +
                              std::string(300, 'x');
    TempPath wav(".wav");
    spill(wav.str(), bytes);
    const long before = peakResidentKilobytes();
    EXPECT_NE(errorOf(wav.str()).find(wav.str()), std::string::npos);
    EXPECT_LT(peakResidentKilobytes() - before, 300 * 1024);
}

// A playlist names other files; measuring it must not read them.
TEST(FfmpegReaderErrors, PlaylistsOpenNoOtherFile) {
    TempPath segment(".m4a");
    writeAacM4a(segment.str(), 48000, 2, 48000, 192000,
                [](std::int64_t, std::uint32_t) { return 0.25f; });
    TempPath playlist(".m3u8");
    spill(playlist.str(), "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\n" + segment.str() +
                              "\n#EXT-X-ENDLIST\n");
    EXPECT_EQ(errorOf(playlist.str()),
              "Cannot read " + playlist.str() + ": it is not an audio file that can be decoded.");
}

// Broken files end in an error naming the path or in metrics whose waveform fits the length;
// never in a crash, a hang or a leaked descriptor.
TEST(FfmpegReaderErrors, TruncatedAndCorruptFilesFailCleanly) {
    const int descriptors = openDescriptors();
    TempPath source(".m4a");
    TempPath broken(".m4a");
    writeAacM4a(source.str(), 48000, 2, 96000, 192000, [](std::int64_t frame, std::uint32_t) {
        return 0.25f * std::sin(static_cast<float>(frame) * 0.05f);
    });
    const std::string bytes = slurp(source.str());

    const auto check = [&](const std::string& what) {
        try {
            const ResultObject m = measure(broken.str());
            const double frames = get<double>(m, "duration_seconds") * 48000.0;
            EXPECT_EQ(get<std::vector<float>>(m, "waveform").size(),
                      static_cast<std::size_t>(std::ceil(frames / 4096.0)))
                << what;
        } catch (const Error& error) {
            EXPECT_NE(error.description().find(broken.str()), std::string::npos) << what;
        }
    };

    for (const std::size_t keep : {bytes.size() / 2, std::size_t{40}}) {
        spill(broken.str(), bytes.substr(0, keep));
        EXPECT_NE(errorOf(broken.str()).find(broken.str()), std::string::npos) << "kept " << keep;
    }
    spill(broken.str(), bytes.substr(0, bytes.size() - 100));
    check("tail cut");

    std::mt19937 random(3);
    for (int round = 0; round < 20; ++round) {
        std::string damaged = bytes;
        for (int k = 0; k < 40; ++k)
            damaged[random() % damaged.size()] = static_cast<char>(random());
        spill(broken.str(), damaged);
        check("round " + std::to_string(round));
    }

    TempPath wav(".wav");
    writeFloatWav(wav.str(), 48000, 2, 10000, [](std::int64_t, std::uint32_t) { return 0.5f; });
    const std::string wavBytes = slurp(wav.str());
    spill(broken.str(), wavBytes.substr(0, wavBytes.size() - 4 * 2 * 1000 - 3));
    check("truncated wav");
    EXPECT_EQ(openDescriptors(), descriptors);
}

}  // namespace
}  // namespace sorvanel
