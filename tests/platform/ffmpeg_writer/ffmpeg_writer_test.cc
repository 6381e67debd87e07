#include "platform/ffmpeg/ffmpeg_asset_writer.h"

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <random>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/ffmpeg/ffmpeg_common.h"
#include "platform/linux/pcm_sample_buffer.h"
#include "support/temp_folder.h"

namespace sorvanel {
namespace {

namespace fs = std::filesystem;

// The tool never writes to standard error, and neither do its libraries.
const bool kQuiet = (silenceFfmpegLogging(), true);

constexpr int kRate = 48000;
constexpr std::int64_t kNanoseconds = 1'000'000'000;

AudioOutputSettings settings() {
    return {kAudioFormatMPEG4AAC, 48000, 2, 192000};
}

// Music-like: a few partials per channel under a slow swell, with a little noise.
float musicSample(int channel, std::int64_t frame) {
    static std::mt19937 noise(7);
    static std::uniform_real_distribution<float> spread(-1.0f, 1.0f);
    const double t = static_cast<double>(frame) / kRate;
    const double base = channel == 0 ? 220.0 : 330.0;
    double value = 0.0;
    for (int partial = 1; partial <= 6; ++partial)
        value += std::sin(2 * M_PI * base * partial * t) / (partial * 2.0);
    const double swell = 0.5 + 0.4 * std::sin(2 * M_PI * 0.5 * t);
    return static_cast<float>(0.35 * swell * value + 0.01 * spread(noise));
}

// A buffer at a time in nanoseconds, as the capture clock gives it.
PcmSampleBuffer buffer(std::int64_t timeNanoseconds, std::uint32_t frames) {
    return PcmSampleBuffer({timeNanoseconds, static_cast<std::int32_t>(kNanoseconds)}, kRate, 2,
                           frames);
}

std::int64_t nanosecondsAt(std::int64_t frame) {
    return frame * kNanoseconds / kRate;
}

using testing::TempFolder;

std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return output;
    char chunk[65536];
    std::size_t count = 0;
    while ((count = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, count);
    ::pclose(pipe);
    return output;
}

// The file as FFmpeg's own command line decodes it: interleaved stereo float.
std::vector<float> decode(const fs::path& file) {
    const std::string bytes =
        run("ffmpeg -nostdin -v quiet -i '" + file.string() + "' -f f32le -ac 2 -");
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

std::string probe(const fs::path& file, const std::string& entries) {
    return run("ffprobe -v quiet -of default=noprint_wrappers=1 -show_entries " + entries + " '" +
               file.string() + "'");
}

// The length in frames that the file records (edit list and last packet's duration).
std::int64_t lengthOf(const fs::path& file) {
    const std::string text = probe(file, "stream=duration_ts");
    return text.rfind("duration_ts=", 0) == 0 ? std::stoll(text.substr(12)) : -1;
}

// The shift, in frames, at which the decoded left channel best matches the source's.
int lagOf(const std::vector<float>& decoded, const std::vector<float>& source) {
    int best = 0;
    double bestScore = -1e300;
    const std::size_t frames = std::min(decoded.size(), source.size()) / 2;
    for (int lag = -2048; lag <= 2048; ++lag) {
        double score = 0;
        for (std::size_t frame = 4096; frame + 4096 < frames; frame += 3)
            score += decoded[(frame + lag) * 2] * source[frame * 2];
        if (score > bestScore) {
            bestScore = score;
            best = lag;
        }
    }
    return best;
}

std::string bytesOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

double rmsDb(const std::vector<float>& interleaved, int channel, std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t frame = from; frame < to; ++frame) {
        const double value = interleaved[frame * 2 + channel];
        sum += value * value;
    }
    return 10 * std::log10(sum / static_cast<double>(to - from) + 1e-30);
}

struct Writer {
    std::shared_ptr<AssetWriter> writer;
    std::shared_ptr<AssetWriterInput> input;
};

Writer makeWriter(const fs::path& file) {
    FfmpegAssetWriterFactory factory;
    Writer made{factory.makeWriter(file.string(), FileType::appleM4A),
                factory.makeInput(MediaType::audio, settings())};
    made.input->setExpectsMediaDataInRealTime(true);
    made.writer->addInput(made.input);
    return made;
}

// Finishes and waits; the thread the completion ran on.
std::thread::id finish(Writer& made) {
    made.input->markAsFinished();
    std::promise<std::thread::id> completed;
    int calls = 0;
    made.writer->finishWriting([&] {
        ++calls;
        completed.set_value(std::this_thread::get_id());
    });
    std::thread::id on = completed.get_future().get();
    EXPECT_EQ(calls, 1);
    return on;
}

TEST(FfmpegAssetWriter, WritesTheSignalAsExactLengthStereoAacInAnM4AFile) {
    TempFolder folder;
    const fs::path file = folder.path() / "take.mp4";  // the brand follows the writer, not this
    Writer made = makeWriter(file);
    EXPECT_FALSE(fs::exists(file));  // created when writing starts
    const std::time_t started = std::time(nullptr);
    ASSERT_TRUE(made.writer->startWriting());
    const std::int64_t start = 987'654'321'000;  // some time on the capture clock
    made.writer->startSessionAtSourceTime({start, kNanoseconds});

    constexpr std::int64_t kFrames = 3 * kRate + 333;  // not a whole number of packets
    std::vector<float> source(kFrames * 2);
    for (std::int64_t frame = 0; frame < kFrames; frame += 960) {
        const auto count = static_cast<std::uint32_t>(std::min<std::int64_t>(960, kFrames - frame));
        PcmSampleBuffer piece = buffer(start + nanosecondsAt(frame), count);
        for (int channel = 0; channel < 2; ++channel)
            for (std::uint32_t i = 0; i < count; ++i) {
                const float value = musicSample(channel, frame + i);
                piece.mutableChannelData(channel)[i] = value;
                source[(frame + i) * 2 + channel] = value;
            }
        ASSERT_TRUE(made.input->isReadyForMoreMediaData());
        ASSERT_TRUE(made.input->appendSampleBuffer(piece));
    }
    EXPECT_NE(finish(made), std::this_thread::get_id());
    ASSERT_EQ(made.writer->error(), std::nullopt);

    EXPECT_EQ(bytesOf(file).substr(4, 8), std::string("ftypM4A ", 8));
    // It names its writer, and was created when writing started, in UTC.
    const std::string tags = probe(file, "format_tags=creation_time,encoder");
    std::tm created{};
    const char* rest = ::strptime(tags.c_str(), "TAG:creation_time=%Y-%m-%dT%H:%M:%S", &created);
    int version[3] = {};
    EXPECT_TRUE(rest && std::abs(::timegm(&created) - started) <= 2 &&
                std::sscanf(rest, "%*[^\n]\nTAG:encoder=SorvanelAudio %d.%d.%d", &version[0],
                            &version[1], &version[2]) == 3)
        << tags;
    EXPECT_EQ(probe(file, "stream=codec_name,sample_rate,channels"),
              "codec_name=aac\nsample_rate=48000\nchannels=2\n");
    const double bitRate = std::stod(probe(file, "stream=bit_rate").substr(9));
    EXPECT_NEAR(bitRate, 192000, 19200);

    // Priming and padding are recorded: the length that readers report is exact.
    EXPECT_EQ(lengthOf(file), kFrames);
    const std::vector<float> decoded = decode(file);
    ASSERT_GE(decoded.size(), source.size());
    EXPECT_EQ(lagOf(decoded, source), 0);  // the first sample is the first buffer's first
    for (int channel = 0; channel < 2; ++channel)
        EXPECT_NEAR(rmsDb(decoded, channel, 0, kFrames), rmsDb(source, channel, 0, kFrames), 0.1);
}

TEST(FfmpegAssetWriter, MapsPresentationTimesToSamplesFillingGapsAndTrimmingOverlaps) {
    TempFolder folder;
    const fs::path file = folder.path() / "timeline.m4a";
    Writer made = makeWriter(file);
    ASSERT_TRUE(made.writer->startWriting());
    const std::int64_t start = 5'000'000;
    made.writer->startSessionAtSourceTime({start, kNanoseconds});

    // Buffers of odd sizes: a tone, then a gap of 0.5 s, then a buffer whose first 700 frames
    // overlap what is written (loud, to be trimmed away) and whose rest is the tone again.
    std::int64_t position = 0;
    auto append = [&](std::int64_t at, std::uint32_t frames, auto fill) {
        PcmSampleBuffer piece = buffer(start + nanosecondsAt(at), frames);
        for (int channel = 0; channel < 2; ++channel)
            for (std::uint32_t i = 0; i < frames; ++i)
                piece.mutableChannelData(channel)[i] = fill(at + i);
        ASSERT_TRUE(made.input->appendSampleBuffer(piece));
        position = std::max(position, at + frames);
    };
    auto tone = [](std::int64_t frame) {
        return static_cast<float>(0.5 * std::sin(2 * M_PI * 1000.0 * frame / kRate));
    };
    for (std::uint32_t frames : {1u, 7u, 333u, 4800u, 1024u, 2047u, 13u})
        append(position, frames, tone);
    const std::int64_t gapStart = position;
    const std::int64_t gapEnd = gapStart + kRate / 2;
    append(gapEnd, 2000, tone);
    const std::int64_t overlapAt = position - 700;
    append(overlapAt, 3000,
           [&](std::int64_t frame) { return frame < overlapAt + 700 ? 1.0f : tone(frame); });
    finish(made);
    ASSERT_EQ(made.writer->error(), std::nullopt);

    EXPECT_EQ(lengthOf(file), position);
    const std::vector<float> decoded = decode(file);
    ASSERT_GE(static_cast<std::int64_t>(decoded.size()), position * 2);
    // The middle of the gap is silence; the tone around it is not.
    const std::size_t middle = static_cast<std::size_t>((gapStart + gapEnd) / 2);
    EXPECT_LT(rmsDb(decoded, 0, middle - 4800, middle + 4800), -80.0);
    EXPECT_NEAR(rmsDb(decoded, 0, 1000, 8000), 20 * std::log10(0.5 / std::sqrt(2.0)), 0.2);
    // The loud overlap was dropped, not mixed in: the tone goes on at its own level.
    const std::size_t joint = static_cast<std::size_t>(overlapAt + 700);
    EXPECT_NEAR(rmsDb(decoded, 1, joint - 1500, joint + 1500),
                20 * std::log10(0.5 / std::sqrt(2.0)), 0.3);
}

TEST(FfmpegAssetWriter, NeverTouchesAnExistingFile) {
    TempFolder folder;
    const fs::path file = folder.path() / "existing.m4a";
    std::ofstream(file, std::ios::binary) << "precious bytes";
    FfmpegAssetWriterFactory factory;
    try {
        factory.makeWriter(file.string(), FileType::appleM4A);
        ADD_FAILURE() << "no error";
    } catch (const Error& error) {
        EXPECT_NE(error.description().find(file.string()), std::string::npos)
            << error.description();
    }
    EXPECT_EQ(bytesOf(file), "precious bytes");

    // A file that appears between making the writer and starting it is not overwritten either.
    const fs::path later = folder.path() / "later.m4a";
    Writer made = makeWriter(later);
    std::ofstream(later, std::ios::binary) << "arrived meanwhile";
    EXPECT_FALSE(made.writer->startWriting());
    ASSERT_TRUE(made.writer->error());
    EXPECT_NE(made.writer->error()->description().find(later.string()), std::string::npos);
    EXPECT_FALSE(made.writer->startWriting());  // asked again, it fails again
    EXPECT_TRUE(made.writer->error());
    finish(made);
    EXPECT_EQ(bytesOf(later), "arrived meanwhile");
}

// A failure after writing began leaves a file that plays what came before it; a file that could
// not even take its header is removed, so that the path can be used again.
TEST(FfmpegAssetWriter, AFailureLeavesAPlayableFileOrNone) {
    TempFolder folder;
    const fs::path file = folder.path() / "take.m4a";
    Writer made = makeWriter(file);
    ASSERT_TRUE(made.writer->startWriting());
    made.writer->startSessionAtSourceTime({0, kNanoseconds});
    for (std::int64_t frame = 0; frame < kRate; frame += 960)
        ASSERT_TRUE(made.input->appendSampleBuffer(buffer(nanosecondsAt(frame), 960)));
    const PcmSampleBuffer wrongRate({nanosecondsAt(kRate), kNanoseconds}, 44100, 2, 960);
    EXPECT_FALSE(made.input->appendSampleBuffer(wrongRate));
    finish(made);
    EXPECT_TRUE(made.writer->error());
    EXPECT_EQ(lengthOf(file), kRate);

    const fs::path unwritable = folder.path() / "unwritable.m4a";
    Writer refused = makeWriter(unwritable);
    struct rlimit limit {
    }, none{0, 0};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    none.rlim_max = limit.rlim_max;
    auto* previous = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &none);
    const bool started = refused.writer->startWriting();
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(started);
    ASSERT_TRUE(refused.writer->error());
    EXPECT_EQ(refused.writer->error()->description(),
              "Cannot write " + unwritable.string() + ": File too large");
    finish(refused);
    EXPECT_FALSE(fs::exists(unwritable));
}

TEST(FfmpegAssetWriter, CannotBeMadeWhereNoFileCanBeCreated) {
    TempFolder folder;
    std::ofstream(folder.path() / "plain-file") << "x";
    FfmpegAssetWriterFactory factory;
    for (const fs::path& file : {folder.path() / "missing" / "take.m4a",
                                 folder.path() / "plain-file" / "take.m4a", fs::path("")}) {
        try {
            factory.makeWriter(file.string(), FileType::appleM4A);
            ADD_FAILURE() << "no error for " << file;
        } catch (const Error& error) {
            EXPECT_EQ(error.description().rfind("Cannot write " + file.string() + ": ", 0), 0u)
                << error.description();
        }
    }
    EXPECT_FALSE(fs::exists(folder.path() / "missing"));
}

TEST(FfmpegAssetWriter, FullDiskIsAnAppendOrFinishErrorNamingTheFile) {
    TempFolder folder;
    const fs::path mountPoint = folder.path() / "small";
    fs::create_directory(mountPoint);
    if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root): " << std::strerror(errno);
    struct Unmount {
        const fs::path& at;
        ~Unmount() { ::umount(at.c_str()); }
    } unmount{mountPoint};

    const fs::path file = mountPoint / "take.m4a";
    Writer made = makeWriter(file);
    ASSERT_TRUE(made.writer->startWriting());
    made.writer->startSessionAtSourceTime({0, kNanoseconds});
    bool appendFailed = false;
    for (std::int64_t frame = 0; frame < 10 * kRate && !appendFailed; frame += 960) {
        PcmSampleBuffer piece = buffer(nanosecondsAt(frame), 960);
        for (int channel = 0; channel < 2; ++channel)
            for (int i = 0; i < 960; ++i)
                piece.mutableChannelData(channel)[i] = musicSample(channel, frame + i);
        appendFailed = !made.input->appendSampleBuffer(piece);
    }
    EXPECT_TRUE(appendFailed) << "10 s at 192 kbit/s should not fit in 64 KiB";
    EXPECT_FALSE(made.input->isReadyForMoreMediaData());
    finish(made);
    ASSERT_TRUE(made.writer->error());
    EXPECT_EQ(made.writer->error()->description(),
              "Cannot write " + file.string() + ": No space left on device");
    EXPECT_TRUE(fs::exists(file));  // what was written stays
}

}  // namespace
}  // namespace sorvanel
