#include "platform/platform.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include "platform/asio/asio_runtime.h"
#include "platform/ffmpeg/ffmpeg_asset_writer.h"
#include "platform/ffmpeg/ffmpeg_audio_file.h"
#include "platform/ffmpeg/ffmpeg_common.h"
#include "platform/pulse/pulse_access.h"
#include "platform/pulse/pulse_capture_service.h"

namespace sorvanel {
namespace {

// The Linux backends behind the seam: Asio's io_context for the runtime, the sound server through
// libpulse, files through FFmpeg.
struct Backends {
    AsioRuntime runtime;
    PulseAccess access;
    PulseCaptureService capture;
    FfmpegAssetWriterFactory writers;
    FfmpegAudioFileReader files;
};

struct LinuxPlatform final : Backends, SystemPlatform {
    explicit LinuxPlatform(std::vector<std::string> arguments)
        : SystemPlatform(Platform{std::move(arguments), runtime, access, capture, writers, files}) {
    }
};

// Libraries may still print on their own (assertions, server warnings); standard error is not
// ours to write, so it goes nowhere. A standard descriptor that came closed is held by /dev/null
// too, so that no file the tool opens later lands on it.
void silenceStandardError() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) continue;
        const int held = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (held >= 0 && held != fd) ::close(held);
    }
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) return;
    if (null != STDERR_FILENO) {
        ::dup2(null, STDERR_FILENO);
        ::close(null);
    }
}

// A reader that closed its end of standard output must not end the process: a failed write of a
// line changes nothing, least of all the status or the recording.
void ignoreBrokenPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

std::unique_ptr<SystemPlatform> makePlatform(std::vector<std::string> arguments) {
    silenceFfmpegLogging();
    silenceStandardError();
    ignoreBrokenPipes();
    return std::make_unique<LinuxPlatform>(std::move(arguments));
}

}  // namespace sorvanel
