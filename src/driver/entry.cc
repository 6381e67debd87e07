// The process entry: the real platform, the main task on the main thread, never a return.
#include <string>
#include <vector>

#include "capture/recording_run.h"
#include "driver/sorvanel_audio.h"
#include "platform/linux_platform.h"
#include "runtime/main_executor.h"

int main(int argc, char** argv) {
    using namespace sorvanel;
    auto system = makeLinuxPlatform(std::vector<std::string>(argv, argv + argc));
    Platform& platform = system->platform;
    runMainTask([&platform]() {
        return SorvanelAudio::main(platform, [&platform](std::string path, double seconds) {
            return recordingRun(platform, std::move(path), seconds);
        });
    });
}
