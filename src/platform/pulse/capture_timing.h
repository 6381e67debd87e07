#pragma once

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>

namespace sorvanel {

// The Linux capture's timing in one place: every figure that decides when audio is read, cut,
// held, waited for or given up. They bound one another, so change one and read the others.
//
// Each monitor delivers a fragment at a time, late by the server's usual delay plus whatever
// stalls the machine. Every tick cuts the timeline into buffers, `kCutLag` behind the clock and
// never past what a monitor may still deliver: a late monitor is waited for until `kPatience`
// after the time of its next frame (a new monitor's first is due when it was attached), and only
// then is its place given up to silence (PipeWire sends nothing while an application is paused).
// The stop is the last cut and waits by the same rule, so a monitor late enough to hold a tick
// back does not lose its tail at the stop. Only a monitor whose stream the server calls paused is
// not waited for at the stop: nothing more comes.
//
// So the patience is the longest stall that loses nothing, and also the longest a buffer or the
// stop can be held up by a late monitor. The mixer's hold must be decided within it, and the ring
// must hold everything not yet cut.
struct CaptureTiming {
    // The fragment each monitor asks for, about 40 ms. The server's default would delay the first
    // data by ~2 s; each fragment wakes the loop, so a smaller one costs CPU on PipeWire, which
    // sends each fragment whole (on PulseAudio the sink's own blocks set the pace); and a monitor's
    // fragment bounds the latency of the sink it records, the user's own output. In frames a
    // power of two, as PipeWire's cycle is: fragments then line up with cycles instead of
    // drifting against them.
    static constexpr std::uint32_t fragmentFrames(std::uint32_t sampleRate) {
        return std::bit_floor(std::max<std::uint32_t>(sampleRate / 25 * 4 / 3, 1));
    }
    // At the stop the monitors ask for half that, so that the last fragment, which ends past the
    // stop, comes sooner. Not less: that would press the user's sink to a lower latency just as
    // the recording ends.
    static constexpr std::uint32_t stopFragmentFrames(std::uint32_t sampleRate) {
        return std::max<std::uint32_t>(fragmentFrames(sampleRate) / 2, 1);
    }

    // How often the timeline is cut into buffers; each cut wakes the sink's queue once.
    static constexpr std::chrono::milliseconds kTick{40};
    // The cut stays at least this far behind the clock; a monitor holds it back further until its
    // data is in (see the patience). So this is what silence trails by when nothing plays.
    static constexpr std::chrono::milliseconds kCutLag{20};
    // How long a late monitor is waited for, at a tick and at the stop, counted from the time of
    // its next frame: a busy machine delays a server's fragments by 100 ms and more, a stalled
    // tool reads 250 ms late. A monitor quiet for longer is paused and becomes silence.
    static constexpr std::chrono::milliseconds kPatience{500};
    // A tick that fires more than a tick late finds the loop starved: the monitors' data of that
    // time still waits in the socket, which the loop reads after its timers. The cut waits this
    // long, once, so that it is read first.
    static constexpr std::chrono::milliseconds kStarvedTickDelay{1};

    // The mixer's, in seconds since it counts frames at any rate (see AudioMixer).
    // Data later than the stream's usual delay by more than this may follow a gap.
    static constexpr double kGapSeconds = 0.008;
    // How long such data is held until a gap and a delay can be told apart. Well within the
    // patience: a held stretch is decided before the cut passes where it would go.
    static constexpr double kHoldSeconds = 0.15;
    // The usual delay is the least of two windows this long: it follows a server whose delay
    // changes for good within a second.
    static constexpr double kDelayWindowSeconds = 0.5;
    // A pause or resume told this long before data went quiet still explains the gap.
    static constexpr double kChangeMarginSeconds = 0.1;

    // The mixer's ring, in seconds: it holds what is not cut yet, at most the patience and a
    // tick behind the clock, and what a monitor delivers ahead of it.
    static constexpr std::int64_t kRingSeconds = 4;

    static_assert(kHoldSeconds * 1000 < kPatience.count());
    static_assert(kCutLag < kTick && kTick < kPatience);
    static_assert(kRingSeconds * 1000 > 2 * (kPatience + kTick).count());

    // A duration in frames at `sampleRate`.
    static constexpr std::int64_t frames(std::chrono::microseconds duration,
                                         std::uint32_t sampleRate) {
        return duration.count() * std::int64_t(sampleRate) / 1'000'000;
    }
};

}  // namespace sorvanel
