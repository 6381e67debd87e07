// Figures of the libpulse capture backend against a private sound server and a tone player that
// buffers 20 ms: start latency, first-buffer latency, buffer sizes, continuity, CPU time per
// recorded second, and the same CPU figure for FFmpeg capturing the sink's monitor.
// Arguments: seconds (10), server "pulseaudio" or "pipewire" (pulseaudio).
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <mutex>

#include "platform/asio/asio_runtime.h"
#include "platform/linux/pcm_sample_buffer.h"
#include "platform/pulse/private_sound_server.h"
#include "platform/pulse/pulse_capture_service.h"

using namespace sorvanel;
using namespace std::chrono;
using Clock = steady_clock;

namespace {

struct Output final : StreamOutput {
    std::mutex mutex;
    std::vector<std::uint32_t> sizes;
    std::int64_t next = 0;
    int discontinuities = 0;
    std::optional<Clock::time_point> first;
    void didOutputSampleBuffer(const SampleBuffer& buffer, StreamOutputType) override {
        std::lock_guard lock(mutex);
        if (!first) first = Clock::now();
        if (buffer.presentationTimeStamp().value != next) ++discontinuities;
        const std::uint32_t frames = buffer.native()->frameCount();
        next = buffer.presentationTimeStamp().value + frames;
        sizes.push_back(frames);
    }
};

double cpuSeconds(const rusage& usage) {
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const std::string kind = argc > 2 ? argv[2] : "pulseaudio";
    testing::PrivateSoundServer server(kind);
    if (server.unavailable) {
        std::printf("%s: %s\n", kind.c_str(), server.unavailable->c_str());
        return 0;
    }
    std::printf("server                     %s\n", kind.c_str());
    testing::TonePlayer player({"--app-id", "com.ableton.live", "--latency-ms", "20"});

    PulseCaptureService service;
    std::promise<std::shared_ptr<ShareableContent>> found;
    service.getShareableContent(
        true, false,
        Completion<std::shared_ptr<ShareableContent>>(
            [&](std::exception_ptr, auto value) { found.set_value(*value); }));
    auto content = found.get_future().get();
    ContentFilter filter{content->displays().at(0), {}};
    for (auto& application : content->applications())
        if (application->bundleIdentifier() == "com.ableton.live")
            filter.includedApplications.push_back(application);
    auto output = std::make_shared<Output>();
    auto queue = std::make_shared<AsioSerialQueue>("org.sorvanel.audio.capture");
    auto stream = service.makeStream(filter, StreamConfiguration{}, nullptr);
    stream->addStreamOutput(output, StreamOutputType::audio, queue);

    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const auto started = Clock::now();
    std::promise<void> startDone;
    stream->startCapture(Completion<void>([&](std::exception_ptr) { startDone.set_value(); }));
    startDone.get_future().wait();
    const auto startLatency = Clock::now() - started;
    std::this_thread::sleep_until(started + duration<double>(seconds));
    const auto stopCalled = Clock::now();
    std::promise<void> stopDone;
    stream->stopCapture(Completion<void>([&](std::exception_ptr) { stopDone.set_value(); }));
    stopDone.get_future().wait();
    const auto stopLatency = Clock::now() - stopCalled;
    std::promise<void> drained;
    queue->post([&] { drained.set_value(); });
    drained.get_future().wait();
    rusage after{};
    getrusage(RUSAGE_SELF, &after);

    std::lock_guard lock(output->mutex);
    const auto& sizes = output->sizes;
    auto ms = [](auto d) { return duration<double, std::milli>(d).count(); };
    std::printf("recorded %.3f s requested, %.3f s delivered (%zu buffers)\n", seconds,
                output->next / 48000.0, sizes.size());
    std::printf("start completed after      %8.2f ms\n", ms(startLatency));
    std::printf("first buffer after start   %8.2f ms\n",
                output->first ? ms(*output->first - started) : -1.0);
    std::printf("stop completed after       %8.2f ms\n", ms(stopLatency));
    if (!sizes.empty())
        std::printf("buffer frames min/max      %8u / %u (%.1f / %.1f ms)\n",
                    *std::min_element(sizes.begin(), sizes.end()),
                    *std::max_element(sizes.begin(), sizes.end()),
                    *std::min_element(sizes.begin(), sizes.end()) / 48.0,
                    *std::max_element(sizes.begin(), sizes.end()) / 48.0);
    std::printf("presentation-time breaks   %8d\n", output->discontinuities);
    const double ours = (cpuSeconds(after) - cpuSeconds(before)) / seconds;
    std::printf("CPU s per recorded s       %8.5f (this backend, capture and mix only)\n", ours);

    // FFmpeg capturing the whole sink's monitor for the same time, decoding to nothing.
    const pid_t ffmpeg = testing::spawn({testing::which("ffmpeg"), "-nostdin", "-loglevel", "quiet",
                                         "-f", "pulse", "-i", server.sink + ".monitor", "-t",
                                         std::to_string(seconds), "-f", "null", "-"});
    int status = 0;
    rusage theirs{};
    wait4(ffmpeg, &status, 0, &theirs);
    const double ffmpegCpu = cpuSeconds(theirs) / seconds;
    std::printf(
        "CPU s per recorded s       %8.5f (ffmpeg -f pulse -i MONITOR -f null, whole process)\n",
        ffmpegCpu);
    std::printf("ratio ours / ffmpeg        %8.3f\n", ffmpegCpu > 0 ? ours / ffmpegCpu : 0.0);
    return 0;
}
