#pragma once

// A private PulseAudio server and tone players for the backend's tests. The server lives in a
// folder of its own; this process is pointed at it through PULSE_SERVER (and HOME, so that no
// cookie is ever written outside that folder).

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <pulse/context.h>
#include <pulse/mainloop.h>

extern char** environ;

namespace sorvanel::testing {

inline std::string which(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string paths = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= paths.size()) {
        const std::size_t end = paths.find(':', start);
        const std::string folder =
            paths.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const auto candidate = std::filesystem::path(folder) / program;
        if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return {};
}

// Spawns `argv` with this process's environment; stdout into `stdoutFd` when given, stderr nowhere.
inline pid_t spawn(const std::vector<std::string>& argv, int stdoutFd = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (stdoutFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed) throw std::runtime_error("cannot start " + argv[0]);
    return pid;
}

// Whether a client can connect now: "ready", or libpulse's error code.
inline int tryConnect() {
    pa_mainloop* loop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "probe");
    int result = -1;
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        result = pa_context_errno(context);
    } else {
        for (;;) {
            const auto state = pa_context_get_state(context);
            if (state == PA_CONTEXT_READY) {
                result = 0;
                break;
            }
            if (!PA_CONTEXT_IS_GOOD(state)) {
                result = pa_context_errno(context);
                break;
            }
            pa_mainloop_iterate(loop, 1, nullptr);
        }
    }
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_mainloop_free(loop);
    return result;
}

class PrivatePulseServer {
  public:
    static std::optional<std::string> unavailable() {
        if (which("pulseaudio").empty()) return "pulseaudio is not installed";
        return std::nullopt;
    }

    // `extraConfiguration` is appended to the server's start-up script.
    explicit PrivatePulseServer(const std::string& extraConfiguration = "") {
        char pattern[] = "/tmp/sorvanel-pulse-test-XXXXXX";
        folder_ = ::mkdtemp(pattern);
        std::filesystem::create_directories(folder_ / "runtime" / "pulse");
        std::filesystem::create_directories(folder_ / "home");
        socket_ = folder_ / "runtime" / "pulse" / "native";
        std::ofstream(folder_ / "server.pa")
            << "load-module module-native-protocol-unix auth-anonymous=1 socket="
            << socket_.string() << "\n"
            << "load-module module-null-sink sink_name=" << sink << " rate=48000 norewinds=1\n"
            << "set-default-sink " << sink << "\n"
            << extraConfiguration;
        ::setenv("HOME", (folder_ / "home").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", (folder_ / "runtime").c_str(), 1);
        ::setenv("PULSE_RUNTIME_PATH", (folder_ / "runtime" / "pulse").c_str(), 1);
        ::setenv("PULSE_SERVER", ("unix:" + socket_.string()).c_str(), 1);
        ::unsetenv("PULSE_SOURCE");
        ::unsetenv("PULSE_SINK");
        ::unsetenv("PULSE_PROP");
        pid_ =
            spawn({which("pulseaudio"), "-n", "--daemonize=no", "--exit-idle-time=-1",
                   "--use-pid-file=no", "--disallow-exit", "-F", (folder_ / "server.pa").string()});
        // Ready once the socket answers (or refuses us by its access rules).
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            const int answer = tryConnect();
            if (answer == 0) break;
            if (std::chrono::steady_clock::now() > deadline)
                throw std::runtime_error("pulseaudio did not start");
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    ~PrivatePulseServer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    // Runs pactl against this server; true when it succeeded.
    bool pactl(const std::vector<std::string>& arguments) const {
        std::vector<std::string> argv{which("pactl")};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        int status = 0;
        ::waitpid(spawn(argv), &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    const std::filesystem::path& folder() const { return folder_; }

    const std::string sink = "sorvanel_null";

  private:
    std::filesystem::path folder_;
    std::filesystem::path socket_;
    pid_t pid_ = -1;
};

// The project's tone player, followed through its stdout lines.
class TonePlayer {
  public:
    explicit TonePlayer(std::vector<std::string> options, bool waitForStream = true) {
        int pipeFds[2];
        if (::pipe(pipeFds) != 0) throw std::runtime_error("pipe");
        std::vector<std::string> argv{SORVANEL_TONE_PLAYER};
        argv.insert(argv.end(), options.begin(), options.end());
        pid_ = spawn(argv, pipeFds[1]);
        ::close(pipeFds[1]);
        lines_ = ::fdopen(pipeFds[0], "r");
        clientIndex = std::stoul(expect("connected"));
        if (waitForStream) inputIndex = std::stoul(expect("playing"));
    }
    ~TonePlayer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (lines_) std::fclose(lines_);
    }

    // Reads lines up to the one that starts with `word`; returns the rest of it.
    std::string expect(const std::string& word) {
        char line[256];
        while (std::fgets(line, sizeof line, lines_)) {
            std::string text(line);
            if (!text.empty() && text.back() == '\n') text.pop_back();
            const auto space = text.find(' ');
            if (text.substr(0, space) == word)
                return space == std::string::npos ? "" : text.substr(space + 1);
        }
        throw std::runtime_error("tone player ended before " + word);
    }

    void pause() {
        ::kill(pid_, SIGUSR1);
        expect("paused");
    }
    void resume() {
        ::kill(pid_, SIGUSR2);
        expect("resumed");
    }
    void quit() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    unsigned long clientIndex = 0;
    unsigned long inputIndex = 0;

  private:
    pid_t pid_ = -1;
    FILE* lines_ = nullptr;
};

}  // namespace sorvanel::testing
