#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace sorvanel::testing {

// Sample of channel `channel` at frame `frame`.
using SampleFunction = std::function<float(std::int64_t frame, std::uint32_t channel)>;

// Writes a WAV file of 32-bit float samples through libavformat. Throws std::runtime_error.
void writeFloatWav(const std::string& path, int sampleRate, std::uint32_t channels,
                   std::int64_t frames, const SampleFunction& sample);

// Encodes with FFmpeg's native AAC encoder into an M4A (`ipod` muxer) whose movie timescale is
// the sample rate, so the edit list states priming and length exactly.
void writeAacM4a(const std::string& path, int sampleRate, std::uint32_t channels,
                 std::int64_t frames, std::int64_t bitRate, const SampleFunction& sample);

// A unique path in the temporary directory, removed with its file at scope end.
class TempPath {
  public:
    explicit TempPath(const std::string& suffix);
    ~TempPath();
    TempPath(const TempPath&) = delete;
    TempPath& operator=(const TempPath&) = delete;
    const std::string& str() const { return path_; }

  private:
    std::string path_;
};

}  // namespace sorvanel::testing
