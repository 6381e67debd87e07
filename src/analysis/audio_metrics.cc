#include "analysis/audio_metrics.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "runtime/error.h"

namespace sorvanel {
namespace {

constexpr std::uint32_t kReadFrames = 4096;
constexpr double kLevelFloor = 1e-9;
constexpr double kDecibelFactor = 20.0;
constexpr float kSignalThreshold = 1e-4f;

// The sum's order fixes its last bits, so it stays one sequential chain: each 32-bit square
// widened and added in sample order. Kept out of line so the sum stays in a register: inlined into
// the read loop, GCC spills it to the stack and every addition waits on a store and a load.
[[gnu::noinline]] double addSquares(double sum, const float* samples, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) sum += static_cast<double>(samples[i] * samples[i]);
    return sum;
}

// Four floats that the compiler keeps in one vector register.
using Lanes = float __attribute__((vector_size(16)));
using LaneBits = std::uint32_t __attribute__((vector_size(16)));

Lanes magnitudes(const float* samples) {
    Lanes v;
    std::memcpy(&v, samples, sizeof v);
    return reinterpret_cast<Lanes>(reinterpret_cast<LaneBits>(v) & 0x7fffffffu);
}

// The largest magnitude, starting from `peak`. A magnitude is taken when the peak is <= it, so a
// NaN never is; with no NaN taken the result is a plain maximum, independent of order, so it
// runs in vector lanes.
float largestMagnitude(float peak, const float* samples, std::uint32_t n) {
    Lanes a = {peak, peak, peak, peak};
    Lanes b = a;
    std::uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const Lanes m = magnitudes(samples + i);
        const Lanes k = magnitudes(samples + i + 4);
        a = a <= m ? m : a;
        b = b <= k ? k : b;
    }
    for (; i < n; ++i) {
        const float m = std::fabs(samples[i]);
        peak = peak <= m ? m : peak;
    }
    for (int lane = 0; lane < 4; ++lane) {
        peak = peak <= a[lane] ? a[lane] : peak;
        peak = peak <= b[lane] ? b[lane] : peak;
    }
    return peak;
}

double decibels(double level) {
    return std::log10(level <= kLevelFloor ? kLevelFloor : level) * kDecibelFactor;
}

}  // namespace

ResultObject audioMetrics(AudioFileReader& files, const std::string& path) {
    const std::unique_ptr<AudioFile> file = files.openForReading(path);
    const AudioFormat format = file->processingFormat();
    bool hasBuffer = false;
    try {
        hasBuffer = file->makeReadBuffer(kReadFrames);
    } catch (const std::bad_alloc&) {
    }
    if (!hasBuffer) throw Error::withoutDescription(kErrorDomain, kNoReadBufferErrorCode);

    std::int64_t sampleCount = 0;
    double sumOfSquares = 0.0;
    float peak = 0.0f;
    std::vector<float> waveform;

    while (file->framePosition() < file->length()) {
        const std::int64_t before = file->framePosition();
        const PcmBufferView buffer = file->readIntoBuffer();
        // A read that delivers nothing would never reach the length.
        if (file->framePosition() <= before) break;

        const float* const* planes = buffer.floatChannelData;
        if (!planes) continue;
        const std::uint32_t n = buffer.frameLength;
        float chunkPeak = 0.0f;
        for (std::uint32_t channel = 0; channel < format.channelCount; ++channel) {
            if (n == 0) continue;
            sumOfSquares = addSquares(sumOfSquares, planes[channel], n);
            chunkPeak = largestMagnitude(chunkPeak, planes[channel], n);
            sampleCount += n;
        }
        peak = peak <= chunkPeak ? chunkPeak : peak;
        waveform.push_back(chunkPeak);
    }

    const double rms =
        sampleCount < 1 ? 0.0 : std::sqrt(sumOfSquares / static_cast<double>(sampleCount));
    ResultObject metrics;
    metrics.entries.emplace("duration_seconds",
                            static_cast<double>(file->length()) / format.sampleRate);
    metrics.entries.emplace("sample_rate", format.sampleRate);
    metrics.entries.emplace("channels", format.channelCount);
    metrics.entries.emplace("peak_dbfs", decibels(static_cast<double>(peak)));
    metrics.entries.emplace("rms_dbfs", decibels(rms));
    metrics.entries.emplace("has_signal", peak > kSignalThreshold);
    metrics.entries.emplace("waveform", std::move(waveform));
    return metrics;
}

}  // namespace sorvanel
