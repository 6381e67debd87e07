// The macOS backends behind the seam, chosen by the build for Apple targets.
#include "platform/platform.h"

#include "platform/apple/av_asset_writer.h"
#include "platform/apple/av_audio_file.h"
#include "platform/apple/core_graphics_access.h"
#include "platform/apple/dispatch_runtime.h"
#include "platform/apple/screen_capture.h"
#include "platform/posix/standard_streams.h"

namespace sorvanel {
namespace {

struct Backends {
    DispatchRuntime runtime;
    CoreGraphicsAccess access;
    AppleCaptureService capture;
    AppleAssetWriterFactory writers;
    AppleAudioFileReader files;
};

struct ApplePlatform final : Backends, SystemPlatform {
    explicit ApplePlatform(std::vector<std::string> arguments)
        : SystemPlatform(Platform{std::move(arguments), runtime, access, capture, writers, files}) {
    }
};

}  // namespace

std::unique_ptr<SystemPlatform> makePlatform(std::vector<std::string> arguments) {
    // The frameworks log through NSLog and friends, which may reach standard error.
    silenceStandardError();
    ignoreBrokenPipes();
    return std::make_unique<ApplePlatform>(std::move(arguments));
}

}  // namespace sorvanel
