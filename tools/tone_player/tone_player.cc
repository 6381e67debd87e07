// A stand-in for a DAW: a sound-server client that plays a sine with a short buffer, tagged with
// an application id. Tests steer it by options and signals and follow it by its stdout lines:
//   "realtime on"                it runs at real-time priority, so its stalls are the machine's
//   "realtime off <reason>"      it could not: another program (the tool under test) can then
//                                starve it into stalls and underflows of its own
//   "connected <client index>"   the client exists
//   "playing <sink input index>" its playback stream exists
//   "paused" / "resumed"         after SIGUSR1 / SIGUSR2 took effect
//   "closed"                     after SIGHUP closed the stream (the client stays)
//   "underflow"                  the server ran the stream dry: it played silence meanwhile
//   "stall <ms>"                 the whole machine stood still that long (a shared one does): a
//                                server may then skip its cycles without any underflow
// It ends on SIGTERM or SIGINT, after --duration, or when the server goes away (status 1).
#include <sched.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/mainloop-signal.h>
#include <pulse/mainloop.h>
#include <pulse/proplist.h>
#include <pulse/rtclock.h>
#include <pulse/stream.h>

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Options {
    double frequency = 1000.0;
    double amplitude = 0.5;
    double noise = 0.0;  // peak of a uniform noise floor under the sine, as real recordings have
    std::string applicationId;
    std::string name = "Tone Player";
    std::string sink;
    unsigned rate = 48000;
    unsigned channels = 2;
    double latencyMs = 20.0;
    double streamAfter = 0.0;  // seconds before the stream opens
    double duration = 0.0;     // seconds before the player ends; 0: until told
    bool noStream = false;
    bool paused = false;
};

struct Player {
    Options options;
    pa_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    double phase = 0.0;
    std::uint32_t noiseState = 1;  // a fixed sequence: runs are repeatable
    int status = 0;
    std::vector<float> scratch;
};

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

[[noreturn]] void usage(const char* why) {
    std::fprintf(
        stderr,
        "sorvanel-tone-player: %s\n"
        "options: --frequency HZ --amplitude LINEAR --noise LINEAR --app-id ID --name NAME\n"
        "         --sink NAME\n"
        "         --rate HZ --channels N --latency-ms MS --stream-after S --duration S\n"
        "         --no-stream --paused\n",
        why);
    std::exit(2);
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage(("missing value for " + option).c_str());
            return argv[++i];
        };
        if (option == "--frequency")
            options.frequency = std::stod(value());
        else if (option == "--amplitude")
            options.amplitude = std::stod(value());
        else if (option == "--noise")
            options.noise = std::stod(value());
        else if (option == "--app-id")
            options.applicationId = value();
        else if (option == "--name")
            options.name = value();
        else if (option == "--sink")
            options.sink = value();
        else if (option == "--rate")
            options.rate = static_cast<unsigned>(std::stoul(value()));
        else if (option == "--channels")
            options.channels = static_cast<unsigned>(std::stoul(value()));
        else if (option == "--latency-ms")
            options.latencyMs = std::stod(value());
        else if (option == "--stream-after")
            options.streamAfter = std::stod(value());
        else if (option == "--duration")
            options.duration = std::stod(value());
        else if (option == "--no-stream")
            options.noStream = true;
        else if (option == "--paused")
            options.paused = true;
        else
            usage(("unknown option " + option).c_str());
    }
    return options;
}

void quit(Player& player, int status) {
    player.status = status;
    pa_mainloop_quit(player.loop, status);
}

void onWritable(pa_stream* stream, std::size_t bytes, void* opaque) {
    auto& player = *static_cast<Player*>(opaque);
    const unsigned channels = player.options.channels;
    const std::size_t frames = bytes / (sizeof(float) * channels);
    player.scratch.resize(frames * channels);
    const double step = 2.0 * kPi * player.options.frequency / player.options.rate;
    for (std::size_t frame = 0; frame < frames; ++frame) {
        const double tone = player.options.amplitude * std::sin(player.phase);
        for (unsigned channel = 0; channel < channels; ++channel) {
            double value = tone;
            // Each channel's own noise, as a real recording's: equal channels would let the
            // encoder code one channel and nothing besides.
            if (player.options.noise > 0) {
                player.noiseState = player.noiseState * 1664525u + 1013904223u;
                value += player.options.noise * (2.0 * player.noiseState / 4294967296.0 - 1.0);
            }
            player.scratch[frame * channels + channel] = static_cast<float>(value);
        }
        player.phase = std::fmod(player.phase + step, 2.0 * kPi);
    }
    pa_stream_write(stream, player.scratch.data(), frames * sizeof(float) * channels, nullptr, 0,
                    PA_SEEK_RELATIVE);
}

// A stalled machine (a shared one steals whole cores for a while) starves the server or this
// player; tests then know that the sink played a gap nobody asked for.
void onUnderflow(pa_stream*, void*) {
    say("underflow");
}

// Wakes every 2 ms at real-time priority, where it may: a wake-up 15 ms late was no other
// program's doing then, the machine itself stood still.
[[noreturn]] void watchForStalls() {
    constexpr pa_usec_t kPeriod = 2'000;
    constexpr pa_usec_t kStallUsec = 15'000;
    for (;;) {
        const pa_usec_t before = pa_rtclock_now();
        std::this_thread::sleep_for(std::chrono::microseconds(kPeriod));
        const pa_usec_t late = pa_rtclock_now() - before - kPeriod;
        if (late >= kStallUsec) say("stall " + std::to_string(late / 1000));
    }
}

void onStreamState(pa_stream* stream, void* opaque) {
    auto& player = *static_cast<Player*>(opaque);
    switch (pa_stream_get_state(stream)) {
        case PA_STREAM_READY:
            say("playing " + std::to_string(pa_stream_get_index(stream)));
            break;
        case PA_STREAM_FAILED:
            quit(player, 1);
            break;
        default:
            break;
    }
}

void openStream(Player& player) {
    const Options& options = player.options;
    const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32NE, options.rate,
                                      static_cast<std::uint8_t>(options.channels)};
    player.stream = pa_stream_new(player.context, "Tone", &sampleFormat, nullptr);
    if (!player.stream) return quit(player, 1);
    pa_stream_set_state_callback(player.stream, onStreamState, &player);
    pa_stream_set_write_callback(player.stream, onWritable, &player);
    pa_stream_set_underflow_callback(player.stream, onUnderflow, nullptr);
    // A DAW's short buffer: the server asks for more every few milliseconds.
    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(
        pa_usec_to_bytes(static_cast<pa_usec_t>(options.latencyMs * 1000), &sampleFormat));
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize = static_cast<std::uint32_t>(-1);
    auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY |
                                                (options.paused ? PA_STREAM_START_CORKED : 0));
    if (pa_stream_connect_playback(player.stream,
                                   options.sink.empty() ? nullptr : options.sink.c_str(),
                                   &attributes, flags, nullptr, nullptr) < 0)
        quit(player, 1);
}

void onStreamLater(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* opaque) {
    openStream(*static_cast<Player*>(opaque));
}

void onEnd(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* opaque) {
    quit(*static_cast<Player*>(opaque), 0);
}

void onContextState(pa_context* context, void* opaque) {
    auto& player = *static_cast<Player*>(opaque);
    switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY: {
            say("connected " + std::to_string(pa_context_get_index(context)));
            if (player.options.duration > 0)
                pa_context_rttime_new(
                    context,
                    pa_rtclock_now() + static_cast<pa_usec_t>(player.options.duration * 1e6), onEnd,
                    &player);
            if (player.options.noStream) break;
            if (player.options.streamAfter > 0)
                pa_context_rttime_new(
                    context,
                    pa_rtclock_now() + static_cast<pa_usec_t>(player.options.streamAfter * 1e6),
                    onStreamLater, &player);
            else
                openStream(player);
            break;
        }
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            quit(player, 1);
            break;
        default:
            break;
    }
}

void onCorked(pa_stream*, int success, void* opaque) {
    if (success) say(static_cast<const char*>(opaque));
}

void onSignal(pa_mainloop_api*, pa_signal_event*, int signal, void* opaque) {
    auto& player = *static_cast<Player*>(opaque);
    switch (signal) {
        case SIGUSR1:
        case SIGUSR2: {
            const bool pause = signal == SIGUSR1;
            if (player.stream) {
                pa_operation* operation =
                    pa_stream_cork(player.stream, pause ? 1 : 0, onCorked,
                                   const_cast<char*>(pause ? "paused" : "resumed"));
                if (operation) pa_operation_unref(operation);
            }
            break;
        }
        case SIGHUP:
            if (player.stream) {
                pa_stream_disconnect(player.stream);
                pa_stream_unref(player.stream);
                player.stream = nullptr;
                say("closed");
            }
            break;
        default:
            quit(player, 0);
            break;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Player player;
    player.options = parse(argc, argv);
    // A DAW's audio thread runs at real-time priority; so does this stand-in where it may, so a
    // busy machine starves it no sooner than it would a DAW. Without the right it plays as it is,
    // and says so: its stalls then prove nothing about the machine.
    sched_param realtime{};
    realtime.sched_priority = 10;
    if (sched_setscheduler(0, SCHED_FIFO, &realtime) == 0)
        say("realtime on");
    else
        say(std::string("realtime off ") + std::strerror(errno));
    std::thread(watchForStalls).detach();
    player.loop = pa_mainloop_new();
    pa_mainloop_api* api = pa_mainloop_get_api(player.loop);
    pa_signal_init(api);
    for (int signal : {SIGUSR1, SIGUSR2, SIGHUP, SIGTERM, SIGINT})
        pa_signal_new(signal, onSignal, &player);

    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, player.options.name.c_str());
    if (!player.options.applicationId.empty())
        pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, player.options.applicationId.c_str());
    player.context = pa_context_new_with_proplist(api, player.options.name.c_str(), properties);
    pa_proplist_free(properties);
    pa_context_set_state_callback(player.context, onContextState, &player);
    if (pa_context_connect(player.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        std::fprintf(stderr, "sorvanel-tone-player: %s\n",
                     pa_strerror(pa_context_errno(player.context)));
        return 1;
    }
    int status = 0;
    pa_mainloop_run(player.loop, &status);
    if (player.stream) {
        pa_stream_disconnect(player.stream);
        pa_stream_unref(player.stream);
    }
    pa_context_disconnect(player.context);
    pa_context_unref(player.context);
    pa_signal_done();
    pa_mainloop_free(player.loop);
    return player.status;
}
