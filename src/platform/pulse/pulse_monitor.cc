#include "platform/pulse/pulse_monitor.h"

namespace sorvanel {

std::unique_ptr<PulseMonitor> PulseMonitor::connect(
    pa_context* context, std::uint32_t input, std::uint32_t sink, const std::string& monitorSource,
    const pa_sample_spec& format, std::uint32_t fragmentFrames, Owner& owner, int& code) {
    pa_channel_map map;
    pa_channel_map_init_extend(&map, format.channels, PA_CHANNEL_MAP_DEFAULT);
    pa_stream* stream = pa_stream_new(context, "SorvanelAudio capture", &format, &map);
    if (!stream) {
        code = pa_context_errno(context);
        return nullptr;
    }
    // Owned from here on: a refusal below releases it too.
    std::unique_ptr<PulseMonitor> monitor(
        new PulseMonitor(stream, input, sink, pa_frame_size(&format), owner));
    pa_stream_set_monitor_stream(stream, input);
    const pa_buffer_attr attributes = monitor->attributes(fragmentFrames);
    // Named source: a NULL one lets the environment pick another. DONT_MOVE: a monitor whose
    // stream ends must fail, not be moved to a microphone.
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY);
    if (pa_stream_connect_record(stream, monitorSource.c_str(), &attributes, flags) < 0) {
        code = pa_context_errno(context);
        return nullptr;
    }
    return monitor;
}

PulseMonitor::PulseMonitor(pa_stream* stream, std::uint32_t input, std::uint32_t sink,
                           std::size_t frameBytes, Owner& owner)
    : stream_(stream), input_(input), sink_(sink), frameBytes_(frameBytes), owner_(owner) {
    pa_stream_set_state_callback(stream_, &PulseMonitor::onState, this);
    pa_stream_set_read_callback(stream_, &PulseMonitor::onReadable, this);
}

void PulseMonitor::askForFragments(std::uint32_t frames) {
    // Valid on a ready stream only; the answer needs no callback, so the operation is let go.
    if (pa_stream_get_state(stream_) != PA_STREAM_READY) return;
    const pa_buffer_attr wanted = attributes(frames);
    if (pa_operation* operation = pa_stream_set_buffer_attr(stream_, &wanted, nullptr, nullptr))
        pa_operation_unref(operation);
}

// The server's defaults but for the fragment (of a record stream, only fragsize counts).
pa_buffer_attr PulseMonitor::attributes(std::uint32_t fragmentFrames) const {
    constexpr auto kDefault = static_cast<std::uint32_t>(-1);
    return {kDefault, kDefault, kDefault, kDefault,
            static_cast<std::uint32_t>(fragmentFrames * frameBytes_)};
}

PulseMonitor::~PulseMonitor() {
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
}

void PulseMonitor::onState(pa_stream* stream, void* opaque) {
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED) return;
    auto* self = static_cast<PulseMonitor*>(opaque);
    const int code = pa_context_errno(pa_stream_get_context(stream));
    self->owner_.monitorEnded(*self, state == PA_STREAM_FAILED, code);  // may end `self`
}

void PulseMonitor::onReadable(pa_stream*, std::size_t, void* opaque) {
    auto* self = static_cast<PulseMonitor*>(opaque);
    self->owner_.monitorReadable(*self);  // may end `self`
}

}  // namespace sorvanel
