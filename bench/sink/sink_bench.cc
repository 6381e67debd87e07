// CPU seconds per second of audio for AudioSink plus the FFmpeg writer, fed 20 ms buffers of a
// music-like signal, against FFmpeg's command line encoding the same samples with the same
// encoder. Prints both figures and their ratio (target: at most 1.0).
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include "capture/audio_sink.h"
#include "platform/asio/asio_runtime.h"
#include "platform/ffmpeg/ffmpeg_asset_writer.h"
#include "platform/ffmpeg/ffmpeg_common.h"
#include "platform/linux/pcm_sample_buffer.h"

using namespace sorvanel;

namespace {

constexpr int kRate = 48000;
constexpr int kBufferFrames = 960;  // 20 ms
constexpr std::int64_t kNanoseconds = 1'000'000'000;

double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Chords of decaying plucked partials over a bass line, with a little noise: enough spectral
// detail to keep the encoder busy the way music does.
std::vector<float> musicLike(std::int64_t frames) {
    std::vector<float> interleaved(static_cast<std::size_t>(frames) * 2);
    std::mt19937 random(1);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    const double notes[] = {220.0, 277.18, 329.63, 440.0, 246.94, 311.13, 369.99, 493.88};
    for (std::int64_t frame = 0; frame < frames; ++frame) {
        const double t = static_cast<double>(frame) / kRate;
        const int beat = static_cast<int>(t * 4);
        const double sinceBeat = t - beat / 4.0;
        const double pluck = std::exp(-6.0 * sinceBeat);
        for (int channel = 0; channel < 2; ++channel) {
            double value = 0.25 * std::sin(2 * M_PI * 55.0 * (1 + beat % 3) * t);
            for (int voice = 0; voice < 3; ++voice) {
                const double f = notes[(beat + voice * 2 + channel) % 8];
                for (int partial = 1; partial <= 4; ++partial)
                    value += pluck * std::sin(2 * M_PI * f * partial * t) / (partial * 6.0);
            }
            interleaved[frame * 2 + channel] =
                static_cast<float>(0.5 * value + 0.02 * noise(random));
        }
    }
    return interleaved;
}

}  // namespace

int main(int argc, char** argv) {
    silenceFfmpegLogging();
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    const auto frames = static_cast<std::int64_t>(seconds * kRate);
    const std::vector<float> signal = musicLike(frames);

    char folderName[] = "/tmp/sorvanel-sink-bench-XXXXXX";
    const std::string folder = mkdtemp(folderName);

    // What the capture service would hand over: 20 ms buffers on one clock.
    std::vector<std::shared_ptr<PcmSampleBuffer>> buffers;
    for (std::int64_t start = 0; start < frames; start += kBufferFrames) {
        const auto count =
            static_cast<std::uint32_t>(std::min<std::int64_t>(kBufferFrames, frames - start));
        auto buffer = std::make_shared<PcmSampleBuffer>(
            MediaTime{1'000'000'000'000 + start * kNanoseconds / kRate, kNanoseconds}, kRate, 2,
            count);
        for (int channel = 0; channel < 2; ++channel)
            for (std::uint32_t i = 0; i < count; ++i)
                buffer->mutableChannelData(channel)[i] = signal[(start + i) * 2 + channel];
        buffers.push_back(std::move(buffer));
    }

    // The sink and its writer: every thread of this process counts.
    const std::string ours = folder + "/sink.m4a";
    double sinkCpu = 0;
    {
        AsioRuntime runtime;
        asio::io_context context;
        FfmpegAssetWriterFactory writers;
        const double before = cpuSeconds(RUSAGE_SELF);
        auto sink = AudioSink::make(runtime, writers, ours);
        for (const auto& buffer : buffers)
            sink->queue()->post(
                [sink, buffer] { sink->didOutputSampleBuffer(*buffer, StreamOutputType::audio); });
        auto finished = asio::co_spawn(context, sink->finish(), asio::use_future);
        context.run();
        try {
            finished.get();
        } catch (const Error& error) {
            std::printf("sink failed: %s\n", error.description().c_str());
            return 1;
        }
        sink.reset();
        sinkCpu = cpuSeconds(RUSAGE_SELF) - before;
    }

    // FFmpeg's command line on the same samples, fed through a pipe; only the child's CPU counts.
    const std::string theirs = folder + "/ffmpeg.m4a";
    const double childrenBefore = cpuSeconds(RUSAGE_CHILDREN);
    FILE* pipe =
        popen(("ffmpeg -nostdin -v quiet -f f32le -ar 48000 -ac 2 -i - -c:a aac -b:a 192k '" +
               theirs + "'")
                  .c_str(),
              "w");
    if (!pipe) return 1;
    std::fwrite(signal.data(), sizeof(float), signal.size(), pipe);
    if (pclose(pipe) != 0) {
        std::printf("ffmpeg failed\n");
        return 1;
    }
    const double ffmpegCpu = cpuSeconds(RUSAGE_CHILDREN) - childrenBefore;

    struct stat ourFile {
    }, theirFile{};
    stat(ours.c_str(), &ourFile);
    stat(theirs.c_str(), &theirFile);
    std::printf("audio: %.1f s in %zu buffers of %d frames\n", seconds, buffers.size(),
                kBufferFrames);
    std::printf("sink + writer: %.4f CPU s per s of audio (%.3f s), file %lld bytes\n",
                sinkCpu / seconds, sinkCpu, static_cast<long long>(ourFile.st_size));
    std::printf("ffmpeg CLI:    %.4f CPU s per s of audio (%.3f s), file %lld bytes\n",
                ffmpegCpu / seconds, ffmpegCpu, static_cast<long long>(theirFile.st_size));
    std::printf("ratio sink/ffmpeg: %.3f (target <= 1.0)\n", sinkCpu / ffmpegCpu);

    unlink(ours.c_str());
    unlink(theirs.c_str());
    rmdir(folder.c_str());
    return 0;
}
