// The process entry: the platform the build chose, the main task on its main thread, never a
// return.
#include <string>
#include <vector>

#include "capture/recording_run.h"
#include "driver/main_task.h"
#include "driver/sorvanel_audio.h"

int main(int argc, char** argv) {
    using namespace sorvanel;
    auto system = makePlatform(std::vector<std::string>(argv, argv + argc));
    Platform& platform = system->platform;
    runMainTask(platform.runtime, [&platform](Invocation& invocation) {
        return SorvanelAudio::main(
            platform, invocation, [&platform, &invocation](std::string path, double seconds) {
                return recordingRun(platform, invocation, std::move(path), seconds);
            });
    });
}
