#include "platform/pulse/audio_mixer.h"

#include <algorithm>

namespace sorvanel {

AudioMixer::AudioMixer(std::uint32_t sampleRate, std::uint32_t channels,
                       std::int64_t capacityFrames)
    : rate_(sampleRate),
      channels_(channels),
      capacity_(capacityFrames),
      ring_(static_cast<std::size_t>(capacityFrames) * channels, 0.0f) {}

void AudioMixer::add(Source& source, const float* interleaved, std::int64_t frames,
                     std::int64_t nowFrame) {
    if (frames <= 0) return;
    if (!source.position) {
        source.position = std::max(nowFrame - frames, taken_);
        write(source, interleaved, frames);
        noteDelay(source, nowFrame);
        return;
    }
    const auto samples = static_cast<std::size_t>(frames) * channels_;
    if (!source.held.empty()) {
        source.held.insert(source.held.end(), interleaved, interleaved + samples);
        const auto heldFrames = static_cast<std::int64_t>(source.held.size() / channels_);
        const std::int64_t lateness =
            nowFrame - (*source.position + heldFrames) - usualDelay(source);
        source.heldGap = std::min(source.heldGap, lateness);
        // The rest came in a burst: it was held up, nothing is missing.
        if (source.heldGap <= this->frames(CaptureTiming::kGapSeconds))
            return release(source, 0, nowFrame);
        return settle(source, nowFrame, false);
    }
    const std::int64_t lateness = nowFrame - (*source.position + frames) - usualDelay(source);
    if (lateness > this->frames(CaptureTiming::kGapSeconds)) {
        source.held.assign(interleaved, interleaved + samples);
        source.heldSince = nowFrame;
        source.heldGap = lateness;
        return;
    }
    write(source, interleaved, frames);
    noteDelay(source, nowFrame);
}

void AudioMixer::skip(Source& source, std::int64_t frames) {
    if (!source.held.empty()) {
        source.held.resize(source.held.size() + static_cast<std::size_t>(frames) * channels_, 0.0f);
        return;
    }
    source.position = source.position.value_or(taken_) + frames;
}

void AudioMixer::settle(Source& source, std::int64_t nowFrame, bool ending) {
    if (source.held.empty()) return;
    if (!ending && nowFrame - source.heldSince < frames(CaptureTiming::kHoldSeconds)) return;
    // Quiet from about heldSince - heldGap on; a pause or resume since then explains the gap.
    const bool changed = source.changedAt >= source.heldSince - source.heldGap -
                                                 frames(CaptureTiming::kChangeMarginSeconds);
    std::int64_t gap = changed ? source.heldGap : 0;
    // Nothing follows the last frames: rather than fall before the cut, which has already passed
    // a stream quiet for that long, they follow it.
    if (ending) gap = std::max(gap, taken_ - *source.position);
    release(source, gap, nowFrame);
}

std::int64_t AudioMixer::cutLimit(const Source& source, std::int64_t nowFrame,
                                  std::int64_t patienceFrames) const {
    return std::max(source.position.value_or(source.firstDue), nowFrame - patienceFrames);
}

std::int64_t AudioMixer::usualDelay(const Source& source) const {
    const std::int64_t least = std::min(source.delay[0], source.delay[1]);
    return least == kNoDelay ? 0 : least;
}

void AudioMixer::noteDelay(Source& source, std::int64_t nowFrame) {
    const std::int64_t delay = nowFrame - *source.position;
    if (nowFrame - source.delaySince >= frames(CaptureTiming::kDelayWindowSeconds)) {
        source.delay[1] = source.delay[0];
        source.delay[0] = delay;
        source.delaySince = nowFrame;
    } else {
        source.delay[0] = std::min(source.delay[0], delay);
    }
}

void AudioMixer::release(Source& source, std::int64_t gap, std::int64_t nowFrame) {
    *source.position += std::max<std::int64_t>(gap, 0);
    write(source, source.held.data(), static_cast<std::int64_t>(source.held.size() / channels_));
    source.held.clear();
    noteDelay(source, nowFrame);
}

void AudioMixer::write(Source& source, const float* interleaved, std::int64_t frames) {
    std::int64_t position = *source.position;
    source.position = position + frames;
    if (position < taken_) {
        const std::int64_t late = std::min(frames, taken_ - position);
        interleaved += late * channels_;
        frames -= late;
        position += late;
    }
    frames = std::min(frames, taken_ + capacity_ - position);
    // At most two runs: up to the ring's end, then from its start.
    while (frames > 0) {
        const std::int64_t run = std::min(frames, capacity_ - position % capacity_);
        float* target = slot(position);
        const auto samples = static_cast<std::size_t>(run) * channels_;
        for (std::size_t i = 0; i < samples; ++i) target[i] += interleaved[i];
        interleaved += samples;
        position += run;
        frames -= run;
    }
}

std::vector<std::shared_ptr<PcmSampleBuffer>> AudioMixer::take(std::int64_t endFrame,
                                                               std::uint32_t maxFrames) {
    std::vector<std::shared_ptr<PcmSampleBuffer>> buffers;
    while (taken_ < endFrame) {
        const auto frames =
            static_cast<std::uint32_t>(std::min<std::int64_t>(maxFrames, endFrame - taken_));
        auto buffer = std::make_shared<PcmSampleBuffer>(
            MediaTime{taken_, static_cast<std::int32_t>(rate_)}, rate_, channels_, frames);
        std::vector<float*> planes(channels_);
        for (std::uint32_t channel = 0; channel < channels_; ++channel)
            planes[channel] = buffer->mutableChannelData(channel);
        std::uint32_t done = 0;
        while (done < frames) {
            const auto run = static_cast<std::uint32_t>(
                std::min<std::int64_t>(frames - done, capacity_ - (taken_ + done) % capacity_));
            float* source = slot(taken_ + done);
            if (channels_ == 2) {
                float* left = planes[0] + done;
                float* right = planes[1] + done;
                for (std::uint32_t frame = 0; frame < run; ++frame) {
                    left[frame] = source[2 * frame];
                    right[frame] = source[2 * frame + 1];
                }
            } else {
                for (std::uint32_t frame = 0; frame < run; ++frame)
                    for (std::uint32_t channel = 0; channel < channels_; ++channel)
                        planes[channel][done + frame] = source[frame * channels_ + channel];
            }
            std::fill(source, source + static_cast<std::size_t>(run) * channels_, 0.0f);
            done += run;
        }
        taken_ += frames;
        buffers.push_back(std::move(buffer));
    }
    return buffers;
}

}  // namespace sorvanel
