#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/access.h"
#include "platform/asset_writer.h"
#include "platform/audio_file.h"
#include "platform/capture.h"
#include "platform/runtime.h"

namespace sorvanel {

// Everything the core needs of the operating system, in one place. Tests swap in fakes.
struct Platform {
    std::vector<std::string> arguments;  // element 0 is the program's path as invoked
    PlatformRuntime& runtime;
    ScreenCaptureAccess& access;
    CaptureService& capture;
    AssetWriterFactory& writers;
    AudioFileReader& files;
};

// The platform of the build, which owns what `platform` refers to.
struct SystemPlatform {
    explicit SystemPlatform(Platform p) : platform(std::move(p)) {}
    virtual ~SystemPlatform() = default;
    Platform platform;
};

// Defined by the backend that the build chose for its target system. Also keeps the system's
// libraries from writing to standard error, which the tool never does.
std::unique_ptr<SystemPlatform> makePlatform(std::vector<std::string> arguments);

}  // namespace sorvanel
