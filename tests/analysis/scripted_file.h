#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_file.h"
#include "runtime/error.h"
#include "support/violation.h"

namespace sorvanel::testing {

// One chunk as the reader would deliver it: one vector of samples per channel.
using Chunk = std::vector<std::vector<float>>;

// What a scripted file does and what was done to it.
struct FileScript {
    AudioFormat format{48000.0, 2};
    bool floatData = true;             // whether the read buffer holds 32-bit floats
    bool noBuffer = false;             // the read buffer cannot be made
    std::uint32_t bufferCapacity = 0;  // what the measurement asked for
    std::int64_t length = 0;
    std::vector<Chunk> chunks;            // delivered in order, one per read
    std::optional<std::size_t> failRead;  // the read with this index throws readError
    Error readError{"Test", 7, "read failed"};
    std::optional<std::size_t> stallRead;  // the read with this index delivers nothing

    int reads = 0;
    bool closed = false;
};

// Plays a FileScript through the reader seam: positions advance by what each read delivers. A
// read without a read buffer is a violation, as AVAudioFile raises on one.
class ScriptedFile final : public AudioFile {
  public:
    explicit ScriptedFile(FileScript& script) : script_(script) {}
    ~ScriptedFile() override { script_.closed = true; }

    AudioFormat processingFormat() const override { return script_.format; }
    std::int64_t length() const override { return script_.length; }
    std::int64_t framePosition() const override { return position_; }

    bool makeReadBuffer(std::uint32_t frameCapacity) override {
        script_.bufferCapacity = frameCapacity;
        if (script_.noBuffer) return false;
        samples_.assign(static_cast<std::size_t>(script_.format.channelCount) * frameCapacity,
                        0.0f);
        for (std::uint32_t c = 0; c < script_.format.channelCount; ++c)
            planes_.push_back(samples_.data() + static_cast<std::size_t>(c) * frameCapacity);
        capacity_ = frameCapacity;
        return true;
    }

    PcmBufferView readIntoBuffer() override {
        // AVAudioFile reads into a buffer of its processing format, which must exist.
        if (planes_.empty()) violation("readIntoBuffer:error: without a buffer");
        const auto index = static_cast<std::size_t>(script_.reads++);
        if (script_.failRead == index) throw script_.readError;
        PcmBufferView view{script_.floatData ? planes_.data() : nullptr, 0, capacity_};
        if (script_.stallRead == index || index >= script_.chunks.size()) return view;
        const Chunk& chunk = script_.chunks[index];
        const std::size_t frames = chunk.empty() ? 0 : chunk.front().size();
        for (std::size_t c = 0; c < chunk.size(); ++c)
            for (std::size_t i = 0; i < frames; ++i) planes_[c][i] = chunk[c][i];
        view.frameLength = static_cast<std::uint32_t>(frames);
        position_ += static_cast<std::int64_t>(frames);
        return view;
    }

  private:
    FileScript& script_;
    std::int64_t position_ = 0;
    std::vector<float> samples_;
    std::vector<float*> planes_;
    std::uint32_t capacity_ = 0;
};

class ScriptedReader final : public AudioFileReader {
  public:
    explicit ScriptedReader(FileScript& script) : script_(script) {}

    std::optional<Error> openError;
    std::vector<std::string> opened;

    std::unique_ptr<AudioFile> openForReading(const std::string& path) override {
        opened.push_back(path);
        if (openError) throw *openError;
        return std::make_unique<ScriptedFile>(script_);
    }

  private:
    FileScript& script_;
};

// Chunks of `frames` frames in total, at most `perChunk` each, every sample from `sample`.
inline std::vector<Chunk> chunksOf(std::int64_t frames, std::uint32_t channels,
                                   std::function<float(std::int64_t, std::uint32_t)> sample,
                                   std::int64_t perChunk = 4096) {
    std::vector<Chunk> chunks;
    for (std::int64_t start = 0; start < frames; start += perChunk) {
        const std::int64_t n = std::min(perChunk, frames - start);
        Chunk chunk(channels, std::vector<float>(static_cast<std::size_t>(n)));
        for (std::uint32_t c = 0; c < channels; ++c)
            for (std::int64_t i = 0; i < n; ++i)
                chunk[c][static_cast<std::size_t>(i)] = sample(start + i, c);
        chunks.push_back(std::move(chunk));
    }
    return chunks;
}

}  // namespace sorvanel::testing
