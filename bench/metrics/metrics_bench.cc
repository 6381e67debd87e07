// Times audioMetrics on a 10-minute AAC M4A against FFmpeg's own decode of the same file, and
// shows its peak memory for a 1-minute and a 10-minute file.
//
//   metrics_bench DIR            run everything, keeping the generated files in DIR
//   metrics_bench --measure F    measure F once and exit (the process being timed)
//   metrics_bench --decode F     only decode F through the reader (for the in-process split)

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "analysis/audio_metrics.h"
#include "platform/ffmpeg/ffmpeg_audio_file.h"
#include "runtime/error.h"
#include "test_media.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRuns = 5;

double seconds(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct ChildResult {
    double seconds;
    long peakKilobytes;
};

// Runs a program with its output thrown away; wall time and peak resident memory.
ChildResult runChild(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const auto start = Clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", argv[0]);
        std::exit(1);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", argv[0]);
        std::exit(1);
    }
    return {took, usage.ru_maxrss};
}

void decodeOnly(const std::string& path) {
    sorvanel::FfmpegAudioFileReader reader;
    const auto file = reader.openForReading(path);
    file->makeReadBuffer(4096);
    while (file->framePosition() < file->length()) file->readIntoBuffer();
}

void measure(const std::string& path) {
    sorvanel::FfmpegAudioFileReader reader;
    sorvanel::audioMetrics(reader, path);
}

// A tone with noise, so the encoder has real work at 192 kbit/s.
void makeFile(const std::string& path, int minutes) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) return;
    std::fprintf(stderr, "writing %s\n", path.c_str());
    std::minstd_rand random(1);
    std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
    sorvanel::testing::writeAacM4a(
        path + ".part", 48000, 2, std::int64_t{48000} * 60 * minutes, 192000,
        [&](std::int64_t frame, std::uint32_t channel) {
            return 0.4f * std::sin(static_cast<float>(frame % 48000) * 0.0576f +
                                   static_cast<float>(channel)) +
                   noise(random);
        });
    std::rename((path + ".part").c_str(), path.c_str());
}

// The arithmetic alone on in-memory chunks, per sample.
class MemoryFile final : public sorvanel::AudioFile {
  public:
    explicit MemoryFile(std::int64_t length) : length_(length) {}
    sorvanel::AudioFormat processingFormat() const override { return {48000.0, 2}; }
    std::int64_t length() const override { return length_; }
    std::int64_t framePosition() const override { return position_; }
    bool makeReadBuffer(std::uint32_t frameCapacity) override {
        std::minstd_rand random(2);
        std::uniform_real_distribution<float> value(-1.0f, 1.0f);
        samples_.resize(2 * static_cast<std::size_t>(frameCapacity));
        for (float& sample : samples_) sample = value(random);
        planes_ = {samples_.data(), samples_.data() + frameCapacity};
        capacity_ = frameCapacity;
        return true;
    }
    sorvanel::PcmBufferView readIntoBuffer() override {
        const auto n =
            static_cast<std::uint32_t>(std::min<std::int64_t>(capacity_, length_ - position_));
        position_ += n;
        return {planes_.data(), n, capacity_};
    }

  private:
    std::int64_t length_;
    std::int64_t position_ = 0;
    std::vector<float> samples_;
    std::vector<const float*> planes_;
    std::uint32_t capacity_ = 0;
};

class MemoryReader final : public sorvanel::AudioFileReader {
  public:
    std::unique_ptr<sorvanel::AudioFile> openForReading(const std::string&) override {
        return std::make_unique<MemoryFile>(std::int64_t{48000} * 600);
    }
};

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 3 && std::string(argv[1]) == "--measure") {
            measure(argv[2]);
            return 0;
        }
        if (argc == 3 && std::string(argv[1]) == "--decode") {
            decodeOnly(argv[2]);
            return 0;
        }
        if (argc != 2) {
            std::fprintf(stderr, "usage: metrics_bench DIR\n");
            return 2;
        }
    } catch (const sorvanel::Error& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }

    const std::string dir = argv[1];
    const std::string self = "/proc/self/exe";
    char selfPath[4096] = {};
    const ssize_t n = readlink(self.c_str(), selfPath, sizeof selfPath - 1);
    if (n <= 0) return 1;
    const std::string oneMinute = dir + "/one-minute.m4a";
    const std::string tenMinutes = dir + "/ten-minutes.m4a";
    makeFile(oneMinute, 1);
    makeFile(tenMinutes, 10);

    std::vector<double> process, ffmpegNull, volumedetect, inDecode, inMeasure, arithmetic;
    for (int run = 0; run < kRuns; ++run) {
        process.push_back(runChild({selfPath, "--measure", tenMinutes}).seconds);
        ffmpegNull.push_back(
            runChild({"ffmpeg", "-nostdin", "-threads", "1", "-i", tenMinutes, "-f", "null", "-"})
                .seconds);
        volumedetect.push_back(runChild({"ffmpeg", "-nostdin", "-i", tenMinutes, "-af",
                                         "volumedetect", "-f", "null", "-"})
                                   .seconds);
        inDecode.push_back(seconds([&] { decodeOnly(tenMinutes); }));
        inMeasure.push_back(seconds([&] { measure(tenMinutes); }));
        arithmetic.push_back(seconds([] {
            MemoryReader reader;
            sorvanel::audioMetrics(reader, "memory");
        }));
    }
    const long peakOne = runChild({selfPath, "--measure", oneMinute}).peakKilobytes;
    const long peakTen = runChild({selfPath, "--measure", tenMinutes}).peakKilobytes;

    const double samples = 48000.0 * 600 * 2;
    std::printf("10-minute 48 kHz stereo AAC M4A at 192 kbit/s, medians of %d runs\n", kRuns);
    std::printf("  measuring process (audioMetrics) %8.3f s\n", median(process));
    std::printf("  ffmpeg -threads 1 -f null        %8.3f s   ratio %.2f (target <= 1.00)\n",
                median(ffmpegNull), median(process) / median(ffmpegNull));
    std::printf("  ffmpeg -af volumedetect          %8.3f s   ratio %.2f (target < 1.00)\n",
                median(volumedetect), median(process) / median(volumedetect));
    std::printf("in process\n");
    std::printf("  decoding alone through the reader %7.3f s\n", median(inDecode));
    std::printf("  audioMetrics                      %7.3f s   adds %.1f%% (target <= 30%%)\n",
                median(inMeasure), 100.0 * (median(inMeasure) / median(inDecode) - 1.0));
    std::printf("  arithmetic alone, in memory       %7.3f s   %.2f ns per sample\n",
                median(arithmetic), 1e9 * median(arithmetic) / samples);
    std::printf("peak memory of the measuring process\n");
    std::printf("  1-minute file  %6ld KiB\n", peakOne);
    std::printf("  10-minute file %6ld KiB   ratio %.3f (target 1.0)\n", peakTen,
                static_cast<double>(peakTen) / static_cast<double>(peakOne));
    return 0;
}
