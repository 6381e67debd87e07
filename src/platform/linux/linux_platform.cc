#include "platform/platform.h"

#include "platform/asio/asio_runtime.h"
#include "platform/ffmpeg/ffmpeg_asset_writer.h"
#include "platform/ffmpeg/ffmpeg_audio_file.h"
#include "platform/ffmpeg/ffmpeg_common.h"
#include "platform/posix/standard_streams.h"
#include "platform/pulse/pulse_access.h"
#include "platform/pulse/pulse_capture_service.h"

namespace sorvanel {
namespace {

// The Linux backends behind the seam: Asio's io_context for the runtime, the sound server through
// libpulse, files through FFmpeg.
struct Backends {
    AsioRuntime runtime;
    PulseCaptureService capture;
    PulseAccess access{capture};
    FfmpegAssetWriterFactory writers;
    FfmpegAudioFileReader files;
};

struct LinuxPlatform final : Backends, SystemPlatform {
    explicit LinuxPlatform(std::vector<std::string> arguments)
        : SystemPlatform(Platform{std::move(arguments), runtime, access, capture, writers, files}) {
    }
};

}  // namespace

std::unique_ptr<SystemPlatform> makePlatform(std::vector<std::string> arguments) {
    silenceFfmpegLogging();
    silenceStandardError();
    ignoreBrokenPipes();
    return std::make_unique<LinuxPlatform>(std::move(arguments));
}

}  // namespace sorvanel
