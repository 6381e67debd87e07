#pragma once

// A private sound server (PulseAudio, or a PipeWire stack with its pulse server) and tone players
// for the backend's tests and benchmarks. The servers are started by the end-to-end tests' Python
// harness through tests/e2e/sound_server_launcher.py, so both languages share one way of starting
// them. This process is then pointed at the server through the variables the launcher names
// (PULSE_SERVER, HOME, XDG_RUNTIME_DIR, ...), so that nothing reaches the user's own server.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

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

// Spawns `argv` with this process's environment; stdin from `stdinFd` and stdout into `stdoutFd`
// when given (else /dev/null), stderr nowhere.
inline pid_t spawn(const std::vector<std::string>& argv, int stdoutFd = -1, int stdinFd = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdinFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdinFd, STDIN_FILENO);
    else
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

// The lines of a pipe, each awaited for a bounded time: a child that hangs fails the case that
// waits for it with a message, not the whole run.
class LineReader {
  public:
    explicit LineReader(int fd) : fd_(fd) {}
    ~LineReader() { ::close(fd_); }
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // The next line without its newline, or nullopt at the end of input. Throws when none came
    // by `deadline`, with `awaited` (what was awaited, and for how long) in its message.
    std::optional<std::string> next(std::chrono::steady_clock::time_point deadline,
                                    const std::string& awaited) {
        for (;;) {
            if (auto line = take()) return line;
            if (ended_)
                return buffer_.empty() ? std::nullopt : std::optional(std::exchange(buffer_, {}));
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) throw std::runtime_error("no " + awaited);
            pollfd ready{fd_, POLLIN, 0};
            if (::poll(&ready, 1, int(left.count())) > 0) fill();
        }
    }
    // A whole line that has arrived already, without waiting.
    std::optional<std::string> available() {
        pollfd ready{fd_, POLLIN, 0};
        for (;;) {
            if (auto line = take()) return line;
            if (ended_ || ::poll(&ready, 1, 0) <= 0) return std::nullopt;
            fill();
        }
    }

  private:
    void fill() {
        char chunk[4096];
        const ssize_t got = ::read(fd_, chunk, sizeof chunk);
        if (got > 0)
            buffer_.append(chunk, std::size_t(got));
        else if (got == 0 || errno != EINTR)
            ended_ = true;
    }
    std::optional<std::string> take() {
        const auto newline = buffer_.find('\n');
        if (newline == std::string::npos) return std::nullopt;
        std::string line = buffer_.substr(0, newline);
        buffer_.erase(0, newline + 1);
        return line;
    }

    int fd_;
    std::string buffer_;
    bool ended_ = false;
};

// Waits at most `limit` for a child; kills it when that passes. Its wait status, or nullopt when it
// had to be killed.
inline std::optional<int> reap(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status;
}

// Variables set for a while: each gets its earlier value (or absence) back on destruction, so that
// nothing a case pointed at outlives it.
class ScopedEnvironment {
  public:
    ScopedEnvironment() = default;
    ~ScopedEnvironment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                ::unsetenv(it->first.c_str());
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    void set(const std::string& key, const std::string& value) {
        save(key);
        ::setenv(key.c_str(), value.c_str(), 1);
    }
    void unset(const std::string& key) {
        save(key);
        ::unsetenv(key.c_str());
    }

  private:
    void save(const std::string& key) {
        const char* value = std::getenv(key.c_str());
        saved_.emplace_back(key, value ? std::optional<std::string>(value) : std::nullopt);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

class PrivateSoundServer {
  public:
    // "pulseaudio", "pulseaudio-rewinds" (its default null sink, which renders up to 2 s ahead) or
    // "pipewire". A PulseAudio started with `tcpPort` also listens there, where a
    // client needs the server's cookie. When the server cannot run here, `unavailable` says why.
    // This process reaches the server through the variables the launcher names until the object
    // ends; then they are as before.
    explicit PrivateSoundServer(const std::string& kind, int tcpPort = 0) {
        int toLauncher[2];
        int fromLauncher[2];
        // A socket to the launcher, so that writing to one that died fails instead of raising
        // SIGPIPE.
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, toLauncher) != 0 ||
            ::pipe2(fromLauncher, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        std::vector<std::string> argv{which("python3"), launcherPath().string(), kind};
        if (tcpPort) argv.insert(argv.end(), {"--tcp-port", std::to_string(tcpPort)});
        pid_ = spawn(argv, fromLauncher[1], toLauncher[0]);
        ::close(toLauncher[0]);
        ::close(fromLauncher[1]);
        commands_ = toLauncher[1];
        answers_.emplace(fromLauncher[0]);
        try {
            // PipeWire's stack waits up to 15 s for each of its parts.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (auto line = answers_->next(deadline, kind + " start within 60 s")) {
                const auto space = line->find(' ');
                const std::string word = line->substr(0, space);
                const std::string rest = space == std::string::npos ? "" : line->substr(space + 1);
                if (word == "ready") return;
                if (word == "unavailable") {
                    unavailable = rest;
                    return;
                }
                if (word == "sink") sink = rest;
                if (word == "folder") folder_ = rest;
                if (word == "unset") environment.unset(rest);
                if (word == "set") {
                    const auto equals = rest.find('=');
                    environment.set(rest.substr(0, equals), rest.substr(equals + 1));
                }
            }
        } catch (...) {
            end();
            throw;
        }
        end();
        throw std::runtime_error(kind + " did not start");
    }

    ~PrivateSoundServer() { end(); }
    PrivateSoundServer(const PrivateSoundServer&) = delete;
    PrivateSoundServer& operator=(const PrivateSoundServer&) = delete;

    // Kills the server at once, as a crash would.
    void kill() { command("kill", "killed"); }

    // Waits until a sink that renders ahead has caught up with the streams that play (see
    // sound_server.py); returns at once on the others.
    void settle() { command("settle", "settled"); }

    // Runs a program of the server's (pactl, pw-metadata) against it; true when it succeeded.
    bool run(const std::string& program, const std::vector<std::string>& arguments) const {
        std::vector<std::string> argv{which(program)};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const auto status = reap(spawn(argv), std::chrono::seconds(20));
        if (!status) throw std::runtime_error(program + " did not end within 20 s");
        return WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
    }
    bool pactl(const std::vector<std::string>& arguments) const { return run("pactl", arguments); }

    const std::filesystem::path& folder() const { return folder_; }

    std::optional<std::string> unavailable;
    std::string sink;
    // What this process was pointed at; a case may add its own variables, undone with these.
    ScopedEnvironment environment;

  private:
    static std::filesystem::path launcherPath() {
        return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "e2e" /
               "sound_server_launcher.py";
    }

    void command(const std::string& word, const std::string& answer) {
        const std::string line = word + "\n";
        if (::send(commands_, line.data(), line.size(), MSG_NOSIGNAL) != ssize_t(line.size()))
            throw std::runtime_error("the sound server's launcher is gone before " + word);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (auto got = answers_->next(deadline, "'" + answer + "' within 20 s"))
            if (*got == answer) return;
        throw std::runtime_error("the sound server's launcher ended before '" + answer + "'");
    }

    // The end of its input tells the launcher to stop the server; it exits once it has. One that
    // hangs is told by SIGTERM, which it also answers by stopping the server.
    void end() {
        if (commands_ >= 0) ::close(std::exchange(commands_, -1));
        answers_.reset();
        if (pid_ > 0) {
            const pid_t pid = std::exchange(pid_, -1);
            int status = 0;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (::waitpid(pid, &status, WNOHANG) == 0) {
                if (std::chrono::steady_clock::now() > deadline) {
                    ::kill(pid, SIGTERM);
                    reap(pid, std::chrono::seconds(10));
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
    }

    std::filesystem::path folder_;
    pid_t pid_ = -1;
    int commands_ = -1;
    std::optional<LineReader> answers_;
};

// The project's tone player, followed through its stdout lines.
//
// It says whether it runs at real-time priority. Only then does its watcher measure the machine:
// a stall it sees, or the server running it dry, is what no program of normal priority (the tool
// under test included) can cause, and a case may excuse the audio for it. Without that priority
// the tool itself can starve the player, and the case judges what it recorded all the same.
class TonePlayer {
  public:
    explicit TonePlayer(std::vector<std::string> options, bool waitForStream = true) {
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        std::vector<std::string> argv{SORVANEL_TONE_PLAYER};
        argv.insert(argv.end(), options.begin(), options.end());
        pid_ = spawn(argv, pipeFds[1]);
        ::close(pipeFds[1]);
        lines_.emplace(pipeFds[0]);
        live().push_back(this);
        try {
            clientIndex = std::stoul(expect("connected"));
            if (waitForStream) inputIndex = std::stoul(expect("playing"));
        } catch (...) {
            stop();
            throw;
        }
    }
    ~TonePlayer() { stop(); }
    TonePlayer(const TonePlayer&) = delete;
    TonePlayer& operator=(const TonePlayer&) = delete;

    // Reads lines up to the one that starts with `word`, for at most `limit`; returns the rest of
    // it. Lines read while counting stalls come first.
    std::string expect(const std::string& word,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        while (!pending_.empty()) {
            const std::string line = std::move(pending_.front());
            pending_.pop_front();
            if (auto rest = after(line, word)) return *rest;
        }
        const auto deadline = std::chrono::steady_clock::now() + limit;
        const std::string awaited =
            "'" + word + "' from the tone player within " + std::to_string(limit.count()) + " ms";
        while (lines_) {
            auto line = lines_->next(deadline, awaited);
            if (!line) break;
            if (!note(*line)) continue;
            if (auto rest = after(*line, word)) return *rest;
        }
        throw std::runtime_error("tone player ended before " + word);
    }

    // What the players of this process have shown so far: stalls of the machine and underflows
    // (the server ran a player dry), counted only from players at real-time priority; `unexcused`
    // counts those from the others, which a case judges all the same.
    struct Disturbances {
        int stalls = 0;
        int underflows = 0;
        int unexcused = 0;
        std::string whyUnexcused;
        int count() const { return stalls + underflows; }
    };
    static Disturbances disturbances() {
        Disturbances seen;
        for (TonePlayer* player : live()) {
            while (player->lines_) {
                auto line = player->lines_->available();
                if (!line) break;
                if (player->note(*line)) player->pending_.push_back(*line);  // kept for expect()
            }
            if (player->realtime_) {
                seen.stalls += player->stalls_;
                seen.underflows += player->underflows_;
            } else {
                seen.unexcused += player->stalls_ + player->underflows_;
                seen.whyUnexcused = player->notRealtime_;
            }
        }
        return seen;
    }
    // Whether no player is left: each case starts from none.
    static bool noneLive() { return live().empty(); }

    void pause() {
        ::kill(pid_, SIGUSR1);
        expect("paused");
    }
    void resume() {
        ::kill(pid_, SIGUSR2);
        expect("resumed");
    }
    void closeStream() {
        ::kill(pid_, SIGHUP);
        expect("closed");
    }
    // Ends it as a user would; what it showed until then still counts.
    void quit() {
        disturbances();
        ::kill(pid_, SIGTERM);
        reap(std::exchange(pid_, -1), std::chrono::seconds(10));
    }

    unsigned long clientIndex = 0;
    unsigned long inputIndex = 0;

  private:
    void stop() {
        std::erase(live(), this);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(std::exchange(pid_, -1), nullptr, 0);
        }
        lines_.reset();
    }

    static std::optional<std::string> after(const std::string& line, const std::string& word) {
        const auto space = line.find(' ');
        if (line.substr(0, space) != word) return std::nullopt;
        return space == std::string::npos ? "" : line.substr(space + 1);
    }

    // Takes in what a line tells of the machine; false when that was all it said.
    bool note(const std::string& line) {
        if (line == "underflow") {
            ++underflows_;
        } else if (line.rfind("stall ", 0) == 0) {
            ++stalls_;
        } else if (line == "realtime on") {
            realtime_ = true;
        } else if (line.rfind("realtime off", 0) == 0) {
            realtime_ = false;
            notRealtime_ = "the tone player runs without real-time priority (" +
                           (line.size() > 13 ? line.substr(13) : std::string("refused")) +
                           "): what it saw is judged, not excused";
        } else {
            return true;
        }
        return false;
    }

    static std::vector<TonePlayer*>& live() {
        static std::vector<TonePlayer*> players;
        return players;
    }

    pid_t pid_ = -1;
    std::optional<LineReader> lines_;
    std::deque<std::string> pending_;
    bool realtime_ = false;
    std::string notRealtime_ = "the tone player did not say whether it runs at real-time priority";
    int stalls_ = 0;
    int underflows_ = 0;
};

}  // namespace sorvanel::testing
