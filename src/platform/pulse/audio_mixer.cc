#include "platform/pulse/audio_mixer.h"

#include <algorithm>

namespace sorvanel {

AudioMixer::AudioMixer(std::uint32_t sampleRate, std::uint32_t channels,
                       std::int64_t capacityFrames)
    : rate_(sampleRate),
      channels_(channels),
      capacity_(capacityFrames),
      ring_(static_cast<std::size_t>(capacityFrames) * channels, 0.0f) {}

void AudioMixer::anchor(Source& source, std::int64_t pendingFrames, std::int64_t nowFrame) {
    const auto resync = static_cast<std::int64_t>(kResyncSeconds * rate_);
    const std::int64_t start = nowFrame - pendingFrames;
    if (!source.position || *source.position < start - resync)
        source.position = std::max(start, taken_);
}

void AudioMixer::add(Source& source, const float* interleaved, std::int64_t frames) {
    std::int64_t position = source.position.value_or(taken_);
    source.position = position + frames;
    if (position < taken_) {
        const std::int64_t late = std::min(frames, taken_ - position);
        interleaved += late * channels_;
        frames -= late;
        position += late;
    }
    frames = std::min(frames, taken_ + capacity_ - position);
    for (std::int64_t frame = 0; frame < frames; ++frame) {
        float* target = slot(position + frame);
        for (std::uint32_t channel = 0; channel < channels_; ++channel)
            target[channel] += *interleaved++;
    }
}

void AudioMixer::skip(Source& source, std::int64_t frames) {
    source.position = source.position.value_or(taken_) + frames;
}

std::vector<std::shared_ptr<PcmSampleBuffer>> AudioMixer::take(std::int64_t endFrame,
                                                               std::uint32_t maxFrames) {
    std::vector<std::shared_ptr<PcmSampleBuffer>> buffers;
    while (taken_ < endFrame) {
        const auto frames =
            static_cast<std::uint32_t>(std::min<std::int64_t>(maxFrames, endFrame - taken_));
        auto buffer = std::make_shared<PcmSampleBuffer>(
            MediaTime{taken_, static_cast<std::int32_t>(rate_)}, rate_, channels_, frames);
        for (std::uint32_t frame = 0; frame < frames; ++frame) {
            float* source = slot(taken_ + frame);
            for (std::uint32_t channel = 0; channel < channels_; ++channel) {
                buffer->mutableChannelData(channel)[frame] = source[channel];
                source[channel] = 0.0f;
            }
        }
        taken_ += frames;
        buffers.push_back(std::move(buffer));
    }
    return buffers;
}

}  // namespace sorvanel
