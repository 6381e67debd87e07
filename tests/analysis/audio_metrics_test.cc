#include "analysis/audio_metrics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "analysis/scripted_file.h"

namespace sorvanel {
namespace {

using testing::Chunk;
using testing::chunksOf;
using testing::FileScript;
using testing::ScriptedReader;

constexpr double kHalfDbfs = -6.020599913279624;

struct Measured {
    double duration, rate, peak, rms;
    std::uint32_t channels;
    bool signal;
    std::vector<float> waveform;
};

Measured measure(FileScript& script, ScriptedReader* reader = nullptr) {
    ScriptedReader own(script);
    const ResultObject metrics = audioMetrics(reader ? *reader : own, "/music/take.m4a");
    EXPECT_EQ(metrics.entries.size(), 7u);
    const auto& e = metrics.entries;
    return Measured{
        std::get<double>(e.at("duration_seconds")),    std::get<double>(e.at("sample_rate")),
        std::get<double>(e.at("peak_dbfs")),           std::get<double>(e.at("rms_dbfs")),
        std::get<std::uint32_t>(e.at("channels")),     std::get<bool>(e.at("has_signal")),
        std::get<std::vector<float>>(e.at("waveform"))};
}

FileScript constant(std::int64_t frames, std::uint32_t channels, float value) {
    FileScript script;
    script.format.channelCount = channels;
    script.length = frames;
    script.chunks = chunksOf(frames, channels, [=](std::int64_t, std::uint32_t) { return value; });
    return script;
}

TEST(AudioMetricsLevels, ConstantSignalsGiveExactLevels) {
    FileScript half = constant(10000, 2, 0.5f);
    Measured m = measure(half);
    EXPECT_EQ(m.peak, kHalfDbfs);
    EXPECT_EQ(m.rms, kHalfDbfs);
    EXPECT_TRUE(m.signal);
    EXPECT_EQ(m.waveform, (std::vector<float>{0.5f, 0.5f, 0.5f}));

    FileScript full = constant(5000, 2, 1.0f);
    for (auto& chunk : full.chunks)
        for (float& x : chunk[1]) x = -1.0f;
    m = measure(full);
    EXPECT_EQ(m.peak, 0.0);
    EXPECT_EQ(m.rms, 0.0);

    // Nothing is clamped: a sample of 2.0 reads as +6 dBFS and as 2.0 in its waveform point.
    FileScript clipped = constant(9000, 2, 0.25f);
    clipped.chunks[1][1][17] = -2.0f;
    m = measure(clipped);
    EXPECT_EQ(m.peak, -kHalfDbfs);
    EXPECT_EQ(m.waveform, (std::vector<float>{0.25f, 2.0f, 0.25f}));
}

TEST(AudioMetricsLevels, SilenceAndEmptyFilesSitAtTheFloor) {
    FileScript silence = constant(48000, 2, 0.0f);
    Measured m = measure(silence);
    EXPECT_EQ(m.peak, -180.0);
    EXPECT_EQ(m.rms, -180.0);
    EXPECT_FALSE(m.signal);
    EXPECT_EQ(m.waveform, std::vector<float>(12, 0.0f));

    FileScript empty;
    empty.format = AudioFormat{44100.0, 6};
    m = measure(empty);
    EXPECT_EQ(empty.reads, 0);
    EXPECT_EQ(m.duration, 0.0);
    EXPECT_EQ(m.rate, 44100.0);
    EXPECT_EQ(m.channels, 6u);
    EXPECT_EQ(m.peak, -180.0);
    EXPECT_EQ(m.rms, -180.0);
    EXPECT_FALSE(m.signal);
    EXPECT_TRUE(m.waveform.empty());

    // Above zero but below the floor.
    FileScript faint = constant(100, 1, 1e-10f);
    m = measure(faint);
    EXPECT_EQ(m.peak, -180.0);
    EXPECT_EQ(m.rms, -180.0);
    EXPECT_FALSE(m.signal);
}

TEST(AudioMetricsLevels, SignalThresholdIsStrict) {
    FileScript at = constant(10, 2, 1e-4f);
    EXPECT_FALSE(measure(at).signal);
    FileScript above = constant(10, 2, std::nextafter(1e-4f, 1.0f));
    EXPECT_EQ(static_cast<double>(std::nextafter(1e-4f, 1.0f)), 0.00010000000474974513);
    EXPECT_TRUE(measure(above).signal);
}

TEST(AudioMetricsSum, SquaresAreFormedIn32BitAndWidened) {
    FileScript tenth = constant(1, 1, 0.1f);
    const double widenedSquare = 0.010000000707805157;
    EXPECT_EQ(measure(tenth).rms, std::log10(std::sqrt(widenedSquare)) * 20.0);
    EXPECT_NE(std::log10(std::sqrt(0.010000000298023226)) * 20.0,
              std::log10(std::sqrt(widenedSquare)) * 20.0);
}

TEST(AudioMetricsSum, SumsChannelAfterChannelWithinAChunk) {
    // 4096 squares of 2^-54 add up exactly to 2^-42 before 1.0 joins them; added frame by frame
    // instead, each would vanish next to 1.0.
    FileScript script;
    script.format.channelCount = 2;
    script.length = 4096;
    Chunk chunk{std::vector<float>(4096, 0x1p-27f), std::vector<float>(4096, 0.0f)};
    chunk[1][0] = 1.0f;
    script.chunks = {chunk};
    const double inOrder = std::log10(std::sqrt((1.0 + 0x1p-42) / 8192.0)) * 20.0;
    const double frameByFrame = std::log10(std::sqrt(1.0 / 8192.0)) * 20.0;
    ASSERT_NE(inOrder, frameByFrame);
    EXPECT_EQ(measure(script).rms, inOrder);
}

TEST(AudioMetricsSum, SumsChunkAfterChunk) {
    // The same small squares spread over the first chunks, the 1.0 in the last one.
    FileScript script;
    script.format.channelCount = 1;
    script.length = 3 * 4096;
    script.chunks = chunksOf(script.length, 1, [](std::int64_t frame, std::uint32_t) {
        return frame == 3 * 4096 - 1 ? 1.0f : 0x1p-27f;
    });
    const double expected =
        std::log10(std::sqrt((1.0 + 0x1p-54 * (3 * 4096 - 1)) / 12288.0)) * 20.0;
    EXPECT_EQ(measure(script).rms, expected);
}

TEST(AudioMetricsChunks, TenSecondsGive118PointsAndTheRmsCountsEveryChannel) {
    FileScript script;
    script.length = 480000;
    script.chunks = chunksOf(480000, 2, [](std::int64_t frame, std::uint32_t channel) {
        return channel == 0 ? 1.0f : (frame == 479999 ? 0.75f : 0.0f);
    });
    const Measured m = measure(script);
    EXPECT_EQ(script.chunks.back()[0].size(), 768u);
    EXPECT_EQ(m.duration, 10.0);
    EXPECT_EQ(m.rate, 48000.0);
    ASSERT_EQ(m.waveform.size(), 118u);
    EXPECT_EQ(m.waveform.front(), 1.0f);
    // One full channel among two: the mean square is (480000 + 0.5625) / 960000.
    EXPECT_EQ(m.rms, std::log10(std::sqrt((480000.0 + 0.5625) / 960000.0)) * 20.0);
}

TEST(AudioMetricsChunks, EveryOfSixChannelsEntersPeakRmsAndWaveform) {
    FileScript script;
    script.format.channelCount = 6;
    script.length = 8192;
    script.chunks = chunksOf(8192, 6, [](std::int64_t frame, std::uint32_t channel) {
        if (channel != 5) return 0.0f;
        return frame < 4096 ? 0.5f : -0.25f;
    });
    const Measured m = measure(script);
    EXPECT_EQ(m.channels, 6u);
    EXPECT_EQ(m.peak, kHalfDbfs);
    EXPECT_EQ(m.waveform, (std::vector<float>{0.5f, 0.25f}));
    EXPECT_EQ(m.rms, std::log10(std::sqrt((4096 * 0.25 + 4096 * 0.0625) / (6.0 * 8192))) * 20.0);
}

TEST(AudioMetricsChunks, PeaksAreFoundAtEveryPositionAndNeverNan) {
    for (std::size_t at = 0; at < 21; ++at) {
        FileScript script = constant(21, 1, 0.125f);
        script.chunks[0][0][at] = -0.75f;
        EXPECT_EQ(measure(script).waveform, std::vector<float>{0.75f}) << at;
    }

    FileScript script = constant(4096 + 100, 2, 0.25f);
    script.chunks[0][0][5] = std::numeric_limits<float>::quiet_NaN();
    script.chunks[0][1][4000] = 0.5f;
    script.chunks[1][0][0] = std::numeric_limits<float>::quiet_NaN();
    const Measured m = measure(script);
    EXPECT_EQ(m.peak, kHalfDbfs);
    EXPECT_EQ(m.waveform, (std::vector<float>{0.5f, 0.25f}));
}

TEST(AudioMetricsChunks, ChunksWithoutFloatDataAreSkippedButTheLengthCounts) {
    FileScript script = constant(10000, 2, 0.5f);
    script.floatData = false;
    const Measured m = measure(script);
    EXPECT_EQ(script.reads, 3);
    EXPECT_TRUE(m.waveform.empty());
    EXPECT_EQ(m.peak, -180.0);
    EXPECT_EQ(m.rms, -180.0);
    EXPECT_FALSE(m.signal);
    EXPECT_EQ(m.duration, 10000.0 / 48000.0);
}

TEST(AudioMetricsChunks, AReadThatDeliversNothingEndsTheLoop) {
    FileScript script = constant(12288, 2, 0.5f);
    script.stallRead = 1;
    const Measured m = measure(script);
    EXPECT_EQ(script.reads, 2);
    EXPECT_EQ(m.waveform, (std::vector<float>{0.5f}));
    EXPECT_EQ(m.rms, kHalfDbfs);
    EXPECT_EQ(m.duration, 12288.0 / 48000.0);
}

TEST(AudioMetricsFailures, OpenAndReadErrorsPassUnchangedAndCloseTheFile) {
    FileScript script = constant(12288, 2, 0.5f);
    ScriptedReader reader(script);
    const Error missing("FFmpeg", -2, "Cannot open /music/take.m4a: No such file or directory");
    reader.openError = missing;
    try {
        audioMetrics(reader, "/music/take.m4a");
        FAIL() << "no error";
    } catch (const Error& error) {
        EXPECT_EQ(error, missing);
    }
    EXPECT_EQ(reader.opened, std::vector<std::string>{"/music/take.m4a"});
    EXPECT_EQ(script.reads, 0);

    reader.openError.reset();
    script.failRead = 1;
    try {
        audioMetrics(reader, "/music/take.m4a");
        FAIL() << "no error";
    } catch (const Error& error) {
        EXPECT_EQ(error, script.readError);
    }
    EXPECT_EQ(script.reads, 2);
    EXPECT_TRUE(script.closed);
    EXPECT_EQ(script.bufferCapacity, 4096u);
}

TEST(AudioMetricsFailures, NoReadBufferIsSorvanelAudioErrorThree) {
    FileScript script = constant(100, 2, 0.5f);
    ScriptedReader reader(script);
    script.noBuffer = true;
    try {
        audioMetrics(reader, "/music/take.m4a");
        FAIL() << "no error";
    } catch (const Error& error) {
        EXPECT_EQ(error.domain(), "SorvanelAudio");
        EXPECT_EQ(error.code(), 3);
        EXPECT_EQ(error.description(),
                  "The operation couldn\u2019t be completed. (SorvanelAudio error 3.)");
    }
    EXPECT_EQ(script.reads, 0);
    EXPECT_TRUE(script.closed);
}

}  // namespace
}  // namespace sorvanel
