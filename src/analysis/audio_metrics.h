#pragma once

#include <string>

#include "lines/result.h"
#include "platform/audio_file.h"

namespace sorvanel {

// Reads the audio file at `path` from its first frame to its last and returns its metrics object:
// "duration_seconds", "sample_rate", "channels", "peak_dbfs", "rms_dbfs", "has_signal" and
// "waveform" (one peak per read of up to 4096 frames). Throws Error; never returns a partial
// object.
ResultObject audioMetrics(AudioFileReader& files, const std::string& path);

}  // namespace sorvanel
