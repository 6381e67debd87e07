// The mixer's timeline: continuous output whatever the streams deliver, and their placement.
#include <gtest/gtest.h>

#include <vector>

#include "platform/pulse/audio_mixer.h"

namespace sorvanel {
namespace {

constexpr std::uint32_t kRate = 48000;

// Interleaved stereo frames whose left and right values are `value`.
std::vector<float> frames(std::size_t count, float value) {
    return std::vector<float>(count * 2, value);
}

std::vector<float> left(const std::vector<std::shared_ptr<PcmSampleBuffer>>& buffers) {
    std::vector<float> all;
    for (const auto& buffer : buffers)
        all.insert(all.end(), buffer->channelData(0),
                   buffer->channelData(0) + buffer->frameCount());
    return all;
}

TEST(AudioMixerTest, TakesContiguousBuffersOfBoundedSizeWithSilenceWhereNothingCame) {
    AudioMixer mixer(kRate, 2, kRate);
    auto buffers = mixer.take(2500, 960);
    ASSERT_EQ(buffers.size(), 3u);
    std::int64_t next = 0;
    for (const auto& buffer : buffers) {
        EXPECT_EQ(buffer->presentationTimeStamp(), (MediaTime{next, 48000}));
        EXPECT_EQ(buffer->channelCount(), 2u);
        next += buffer->frameCount();
    }
    EXPECT_EQ(next, 2500);
    EXPECT_EQ(left(buffers), std::vector<float>(2500, 0.0f));
    EXPECT_TRUE(mixer.take(2500, 960).empty());
    EXPECT_TRUE(mixer.take(100, 960).empty()) << "the timeline never goes back";
}

TEST(AudioMixerTest, PlacesNewStreamsSoTheirDataEndsNowAndSumsOverlappingStreams) {
    AudioMixer mixer(kRate, 2, kRate);
    AudioMixer::Source a, b;
    mixer.anchor(a, 100, 1000);  // 100 frames pending at frame 1000: they begin at 900
    mixer.add(a, frames(100, 0.25f).data(), 100);
    mixer.anchor(b, 50, 1000);
    mixer.add(b, frames(50, 0.5f).data(), 50);
    auto samples = left(mixer.take(1100, 960));
    EXPECT_EQ(samples[899], 0.0f);
    EXPECT_EQ(samples[900], 0.25f);
    EXPECT_EQ(samples[950], 0.75f);
    EXPECT_EQ(samples[999], 0.75f);
    EXPECT_EQ(samples[1000], 0.0f);
}

TEST(AudioMixerTest, AStreamRunsOnContiguouslyThroughSmallJitter) {
    AudioMixer mixer(kRate, 2, kRate);
    AudioMixer::Source a;
    mixer.anchor(a, 480, 480);
    mixer.add(a, frames(480, 1.0f).data(), 480);
    mixer.anchor(a, 480, 1300);  // arrives 340 frames late: within jitter, stays where it belongs
    mixer.add(a, frames(480, 1.0f).data(), 480);
    EXPECT_EQ(a.position, 960);
    EXPECT_EQ(left(mixer.take(960, 960)), std::vector<float>(960, 1.0f));
}

TEST(AudioMixerTest, AStreamThatStoppedDeliveringIsPlacedByTheClockAgain) {
    AudioMixer mixer(kRate, 2, kRate);
    AudioMixer::Source a;
    mixer.anchor(a, 480, 480);
    mixer.add(a, frames(480, 1.0f).data(), 480);
    mixer.take(480, 960);
    // A second of nothing (a paused application on some servers), then data again.
    mixer.anchor(a, 480, 48480);
    mixer.add(a, frames(480, 1.0f).data(), 480);
    auto samples = left(mixer.take(48480, 960));
    ASSERT_EQ(samples.size(), 48000u);
    EXPECT_EQ(samples[47519], 0.0f);
    EXPECT_EQ(samples[47520], 1.0f);
}

TEST(AudioMixerTest, DataForTimeAlreadyTakenIsDroppedNeverRepeated) {
    AudioMixer mixer(kRate, 2, kRate);
    AudioMixer::Source a;
    mixer.take(1000, 960);
    a.position = 900;  // a stream that fell behind the cut
    mixer.add(a, frames(200, 1.0f).data(), 200);
    EXPECT_EQ(a.position, 1100);
    auto samples = left(mixer.take(1200, 960));
    ASSERT_EQ(samples.size(), 200u);
    EXPECT_EQ(samples[0], 1.0f);
    EXPECT_EQ(samples[99], 1.0f);
    EXPECT_EQ(samples[100], 0.0f);
    // A new stream is never placed before the cut.
    AudioMixer::Source b;
    mixer.anchor(b, 5000, 1300);
    EXPECT_EQ(b.position, 1200);
}

TEST(AudioMixerTest, HolesAdvanceTheStreamAndDataBeyondTheCapacityIsDropped) {
    AudioMixer mixer(kRate, 2, 1000);
    AudioMixer::Source a;
    a.position = 0;
    mixer.skip(a, 100);
    mixer.add(a, frames(1000, 1.0f).data(), 1000);  // 100 frames too many for the ring
    EXPECT_EQ(a.position, 1100);
    auto samples = left(mixer.take(1100, 960));
    EXPECT_EQ(samples[99], 0.0f);
    EXPECT_EQ(samples[100], 1.0f);
    EXPECT_EQ(samples[999], 1.0f);
    EXPECT_EQ(samples[1000], 0.0f) << "wrapped data would land at the start of the ring";
}

}  // namespace
}  // namespace sorvanel
