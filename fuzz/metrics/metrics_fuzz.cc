// Feeds arbitrary bytes through the FFmpeg reader and audioMetrics: any outcome but a clean
// metrics object or a sorvanel::Error is a finding.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "analysis/audio_metrics.h"
#include "platform/ffmpeg/ffmpeg_audio_file.h"
#include "runtime/error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One in-memory file, rewritten for every input; FFmpeg opens it by path.
    static const int fd = memfd_create("metrics-fuzz", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0) __builtin_trap();
    for (std::size_t done = 0; done < size;) {
        const ssize_t wrote = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (wrote <= 0) __builtin_trap();
        done += static_cast<std::size_t>(wrote);
    }
    sorvanel::FfmpegAudioFileReader reader;
    try {
        sorvanel::audioMetrics(reader, path);
    } catch (const sorvanel::Error&) {
    }
    return 0;
}
