// Measures an audio file as the tool does after a recording: one line, the metrics object as the
// complete line nests it, or the error. For checking files the tool left behind.
#include <cstdio>

#include "analysis/audio_metrics.h"
#include "lines/emit.h"
#include "lines/lines.h"
#include "platform/ffmpeg/ffmpeg_audio_file.h"
#include "runtime/error.h"

int main(int argc, char** argv) {
    using namespace sorvanel;
    if (argc != 2) {
        std::fprintf(stderr, "usage: sorvanel-metrics FILE\n");
        return 2;
    }
    FfmpegAudioFileReader reader;
    try {
        emit(audioMetrics(reader, argv[1]));
    } catch (const Error& error) {
        emit(errorLine(error.description()));
        return 1;
    }
    return 0;
}
