#pragma once

#include <string>
#include <vector>

#include "platform/access.h"
#include "platform/asset_writer.h"
#include "platform/audio_file.h"
#include "platform/capture.h"

namespace sorvanel {

// Everything the core needs of the operating system, in one place. Tests swap in fakes.
struct Platform {
    std::vector<std::string> arguments;  // element 0 is the program's path as invoked
    ScreenCaptureAccess& access;
    CaptureService& capture;
    AssetWriterFactory& writers;
    AudioFileReader& files;
};

}  // namespace sorvanel
