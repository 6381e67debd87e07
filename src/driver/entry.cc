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
    runMainTask(platform.runtime, [&platform]() {
        return SorvanelAudio::main(
            platform, [&platform](std::string path, double seconds,
                                  std::unique_ptr<InterruptionWatch> interruptions) {
                return recordingRun(platform, std::move(path), seconds, std::move(interruptions));
            });
    });
}
