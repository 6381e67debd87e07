// The mixer's timeline: continuous output whatever the streams deliver, and their placement.
#include <gtest/gtest.h>

#include <algorithm>
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

// Interleaved stereo frames numbered from `first` (both channels hold the number).
std::vector<float> numbered(std::int64_t first, std::size_t count) {
    std::vector<float> interleaved;
    for (std::size_t frame = 0; frame < count; ++frame)
        interleaved.insert(interleaved.end(), 2, float(first + std::int64_t(frame)));
    return interleaved;
}

TEST(AudioMixerTest, PlacesNewStreamsSoTheirDataEndsNowAndSumsOverlappingStreams) {
    AudioMixer mixer(kRate, 2, kRate);
    AudioMixer::Source a, b;
    mixer.add(a, frames(100, 0.25f).data(), 100, 1000);  // 100 frames at frame 1000: from 900
    mixer.add(b, frames(50, 0.5f).data(), 50, 1000);
    auto samples = left(mixer.take(1100, 960));
    EXPECT_EQ(samples[899], 0.0f);
    EXPECT_EQ(samples[900], 0.25f);
    EXPECT_EQ(samples[950], 0.75f);
    EXPECT_EQ(samples[999], 0.75f);
    EXPECT_EQ(samples[1000], 0.0f);
}

// A reader stopped for 250 ms, or a server that sent nothing for a while and then all it held:
// every frame follows the one before, however late it came.
TEST(AudioMixerTest, FramesThatArriveLateInABurstFollowOnWithNothingMissing) {
    AudioMixer mixer(kRate, 2, 4 * kRate);
    AudioMixer::Source a;
    std::int64_t next = 0;
    for (std::int64_t now = 480; now <= 4800; now += 480, next += 480)
        mixer.add(a, numbered(next, 480).data(), 480, now);
    const std::int64_t resumed = 4800 + 12000;
    EXPECT_EQ(mixer.cutLimit(a, resumed, 24000), 4800) << "the cut waits for what is late";
    for (int piece = 0; piece < 26; ++piece, next += 480)
        mixer.add(a, numbered(next, 480).data(), 480, resumed + piece * 10);
    mixer.settle(a, resumed + 260, true);
    auto samples = left(mixer.take(next, 960));
    ASSERT_EQ(samples.size(), std::size_t(next));
    for (std::int64_t frame = 0; frame < next; ++frame)
        ASSERT_EQ(samples[std::size_t(frame)], float(frame)) << frame;
}

// PipeWire delivers nothing while the application is paused: what comes after the pause comes
// in real time again, and the pause becomes silence as long as it was, however short.
TEST(AudioMixerTest, AStretchTheStreamNeverDeliveredBecomesSilenceAsLongAsIt) {
    for (const std::int64_t pause : {1440, 4320, 48000}) {
        AudioMixer mixer(kRate, 2, 4 * kRate);
        AudioMixer::Source a;
        std::int64_t now = 480;
        for (; now <= 9600; now += 480) mixer.add(a, frames(480, 1.0f).data(), 480, now + 7);
        a.changedAt = now;  // the server tells of the pause
        now += pause;
        for (std::int64_t end = now + 9600; now <= end; now += 480) {
            mixer.add(a, frames(480, 1.0f).data(), 480, now + 7 + (now % 960 ? 30 : 0));
            mixer.settle(a, now, false);
        }
        auto samples = left(mixer.take(now, 960));
        const auto begin = std::find(samples.begin(), samples.end(), 1.0f);
        const auto first = std::find(begin, samples.end(), 0.0f);
        const auto after = std::find(first, samples.end(), 1.0f);
        EXPECT_EQ(first - begin, 9600) << pause;
        EXPECT_EQ(after - first, pause);
    }
}

// A stream paused for longer than the patience and resumed just before the capture ends: its
// last frames are still held when the end comes, and the cut has long passed where it paused.
TEST(AudioMixerTest, FramesHeldWhenTheCaptureEndsAreKeptAfterALongPause) {
    AudioMixer mixer(kRate, 2, 4 * kRate);
    AudioMixer::Source a;
    std::int64_t now = 0;
    auto tick = [&] {
        mixer.settle(a, now, false);
        mixer.take(std::min(now - 960, mixer.cutLimit(a, now, kRate / 2)), 960);
    };
    for (now = 480; now <= 9600; now += 480) {
        mixer.add(a, frames(480, 1.0f).data(), 480, now + 7);
        if (now % 1920 == 0) tick();
    }
    a.changedAt = now;  // paused for 0.6 s
    for (const std::int64_t end = now + 28800; now < end; now += 1920) tick();
    a.changedAt = now;  // resumed 0.1 s before the end
    std::int64_t resumed = 0;
    for (const std::int64_t end = now + 4800; now < end; now += 480, resumed += 480) {
        mixer.add(a, frames(480, 1.0f).data(), 480, now + 7);
        if (now % 1920 == 0) tick();
    }
    mixer.settle(a, now, true);
    auto samples = left(mixer.take(now, 960));
    EXPECT_EQ(std::count(samples.begin(), samples.end(), 1.0f), resumed);
}

// PipeWire's delivery delay grows for good when its cycle changes: without a pause or resume of
// the stream, late data follows on.
TEST(AudioMixerTest, DataThatStaysLateWithoutAStateChangeFollowsOn) {
    AudioMixer mixer(kRate, 2, 4 * kRate);
    AudioMixer::Source a;
    std::int64_t next = 0, now = 480;
    for (; now <= 9600; now += 480, next += 480) mixer.add(a, numbered(next, 480).data(), 480, now);
    a.changedAt = 0;  // a change long before
    for (const std::int64_t end = now + 24000; now <= end; now += 480, next += 480) {
        mixer.add(a, numbered(next, 480).data(), 480, now + 2400);
        mixer.settle(a, now + 2400, false);
    }
    mixer.settle(a, now, true);
    auto samples = left(mixer.take(next, 960));
    for (std::int64_t frame = 0; frame < next; ++frame)
        ASSERT_EQ(samples[std::size_t(frame)], float(frame)) << frame;
}

TEST(AudioMixerTest, DataForTimeAlreadyTakenIsDroppedNeverRepeated) {
    AudioMixer mixer(kRate, 2, kRate);
    AudioMixer::Source a;
    mixer.take(1000, 960);
    a.position = 900;  // a stream that fell behind the cut
    mixer.add(a, frames(200, 1.0f).data(), 200, 1100);
    EXPECT_EQ(a.position, 1100);
    auto samples = left(mixer.take(1200, 960));
    ASSERT_EQ(samples.size(), 200u);
    EXPECT_EQ(samples[0], 1.0f);
    EXPECT_EQ(samples[99], 1.0f);
    EXPECT_EQ(samples[100], 0.0f);
    // A new stream is never placed before the cut.
    AudioMixer::Source b;
    mixer.add(b, frames(5000, 1.0f).data(), 5000, 1300);
    EXPECT_EQ(b.position, 6200);
}

TEST(AudioMixerTest, HolesAdvanceTheStreamAndDataBeyondTheCapacityIsDropped) {
    AudioMixer mixer(kRate, 2, 1000);
    AudioMixer::Source a;
    a.position = 0;
    mixer.skip(a, 100);
    mixer.add(a, frames(1000, 1.0f).data(), 1000, 1100);  // 100 frames too many for the ring
    EXPECT_EQ(a.position, 1100);
    auto samples = left(mixer.take(1100, 960));
    EXPECT_EQ(samples[99], 0.0f);
    EXPECT_EQ(samples[100], 1.0f);
    EXPECT_EQ(samples[999], 1.0f);
    EXPECT_EQ(samples[1000], 0.0f) << "wrapped data would land at the start of the ring";
}

// The end of the timeline waits for a late stream by the cut's rule: until its next frame is a
// patience old, however far behind the end it is by then.
TEST(AudioMixerTest, TheEndWaitsForALateStreamAsLongAsTheCutWould) {
    AudioMixer mixer(kRate, 2, kRate);
    AudioMixer::Source a;
    EXPECT_FALSE(mixer.owes(a, 9600, 9600, 24000)) << "a stream without data owes nothing";
    mixer.add(a, frames(480, 1.0f).data(), 480, 480);
    EXPECT_TRUE(mixer.owes(a, 10080, 10080, 24000)) << "200 ms behind the end";
    EXPECT_TRUE(mixer.owes(a, 10080, 24400, 24000));
    EXPECT_FALSE(mixer.owes(a, 10080, 24480, 24000)) << "quiet for the patience";
    EXPECT_FALSE(mixer.owes(a, 480, 960, 24000)) << "delivered up to the end";
}

TEST(AudioMixerTest, TheCutPassesAQuietStreamAfterThePatience) {
    AudioMixer mixer(kRate, 2, kRate);
    AudioMixer::Source a;
    a.firstDue = 200;
    EXPECT_EQ(mixer.cutLimit(a, 600, 500), 200) << "a new stream holds the cut where it began";
    EXPECT_EQ(mixer.cutLimit(a, 800, 500), 300) << "until its first frame is a patience old";
    mixer.add(a, frames(480, 1.0f).data(), 480, 480);
    EXPECT_EQ(mixer.cutLimit(a, 900, 500), 480);
    EXPECT_EQ(mixer.cutLimit(a, 1200, 500), 700);
}

}  // namespace
}  // namespace sorvanel
