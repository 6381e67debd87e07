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
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
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

// Reads one line without its newline; false at the end of input.
inline bool readLine(FILE* from, std::string& line) {
    line.clear();
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, from)) {
        line += chunk;
        if (line.back() == '\n') {
            line.pop_back();
            return true;
        }
    }
    return !line.empty();
}

class PrivateSoundServer {
  public:
    // "pulseaudio", "pulseaudio-rewinds" (its default null sink, which renders up to 2 s ahead) or
    // "pipewire". A PulseAudio started with `tcpPort` also listens there, where a
    // client needs the server's cookie. When the server cannot run here, `unavailable` says why.
    explicit PrivateSoundServer(const std::string& kind, int tcpPort = 0) {
        int toLauncher[2];
        int fromLauncher[2];
        if (::pipe2(toLauncher, O_CLOEXEC) != 0 || ::pipe2(fromLauncher, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        std::vector<std::string> argv{which("python3"), launcherPath().string(), kind};
        if (tcpPort) argv.insert(argv.end(), {"--tcp-port", std::to_string(tcpPort)});
        pid_ = spawn(argv, fromLauncher[1], toLauncher[0]);
        ::close(toLauncher[0]);
        ::close(fromLauncher[1]);
        commands_ = ::fdopen(toLauncher[1], "w");
        answers_ = ::fdopen(fromLauncher[0], "r");
        std::string line;
        while (readLine(answers_, line)) {
            const auto space = line.find(' ');
            const std::string word = line.substr(0, space);
            const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
            if (word == "ready") return;
            if (word == "unavailable") {
                unavailable = rest;
                return;
            }
            if (word == "sink") sink = rest;
            if (word == "folder") folder_ = rest;
            if (word == "unset") ::unsetenv(rest.c_str());
            if (word == "set") {
                const auto equals = rest.find('=');
                ::setenv(rest.substr(0, equals).c_str(), rest.substr(equals + 1).c_str(), 1);
            }
        }
        end();
        throw std::runtime_error(kind + " did not start");
    }

    ~PrivateSoundServer() { end(); }
    PrivateSoundServer(const PrivateSoundServer&) = delete;
    PrivateSoundServer& operator=(const PrivateSoundServer&) = delete;

    // Kills the server at once, as a crash would.
    void kill() {
        std::fputs("kill\n", commands_);
        std::fflush(commands_);
        std::string line;
        while (readLine(answers_, line) && line != "killed") {
        }
    }

    // Waits until a sink that renders ahead has caught up with the streams that play (see
    // sound_server.py); returns at once on the others.
    void settle() {
        std::fputs("settle\n", commands_);
        std::fflush(commands_);
        std::string line;
        while (readLine(answers_, line) && line != "settled") {
        }
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

    std::optional<std::string> unavailable;
    std::string sink;

  private:
    static std::filesystem::path launcherPath() {
        return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "e2e" /
               "sound_server_launcher.py";
    }

    // The end of its input tells the launcher to stop the server; it exits once it has.
    void end() {
        if (commands_) std::fclose(std::exchange(commands_, nullptr));
        if (answers_) std::fclose(std::exchange(answers_, nullptr));
        if (pid_ > 0) ::waitpid(std::exchange(pid_, -1), nullptr, 0);
    }

    std::filesystem::path folder_;
    pid_t pid_ = -1;
    FILE* commands_ = nullptr;
    FILE* answers_ = nullptr;
};

// The project's tone player, followed through its stdout lines.
class TonePlayer {
  public:
    explicit TonePlayer(std::vector<std::string> options, bool waitForStream = true) {
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        std::vector<std::string> argv{SORVANEL_TONE_PLAYER};
        argv.insert(argv.end(), options.begin(), options.end());
        pid_ = spawn(argv, pipeFds[1]);
        ::close(pipeFds[1]);
        lines_ = ::fdopen(pipeFds[0], "r");
        // Unbuffered, so that what poll() finds waiting is all there is.
        std::setvbuf(lines_, nullptr, _IONBF, 0);
        live().push_back(this);
        clientIndex = std::stoul(expect("connected"));
        if (waitForStream) inputIndex = std::stoul(expect("playing"));
    }
    ~TonePlayer() {
        std::erase(live(), this);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (lines_) std::fclose(lines_);
    }

    // Reads lines up to the one that starts with `word`; returns the rest of it.
    std::string expect(const std::string& word) {
        std::string text;
        while (nextLine(text)) {
            const auto space = text.find(' ');
            if (text.substr(0, space) == word)
                return space == std::string::npos ? "" : text.substr(space + 1);
        }
        throw std::runtime_error("tone player ended before " + word);
    }

    // How often so far the machine stood still or the server ran a player of this process dry. A
    // sink may then play less than it was given, and a case cannot judge the audio.
    static int stalls() {
        for (TonePlayer* player : live()) {
            pollfd ready{::fileno(player->lines_), POLLIN, 0};
            std::string text;
            while (::poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN) && player->readOne(text))
                if (!text.empty()) player->pending_.push_back(text);  // kept for expect()
        }
        return stallCount();
    }

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
    void quit() {
        stalls();
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    unsigned long clientIndex = 0;
    unsigned long inputIndex = 0;

  private:
    // One line of the player; false at its end. A stall is counted, and leaves `text` empty.
    bool readOne(std::string& text) {
        if (!readLine(lines_, text)) return false;
        if (text == "underflow" || text.rfind("stall ", 0) == 0) {
            ++stallCount();
            text.clear();
        }
        return true;
    }
    // The next line that is not a stall.
    bool nextLine(std::string& text) {
        if (!pending_.empty()) {
            text = std::move(pending_.front());
            pending_.pop_front();
            return true;
        }
        while (readOne(text))
            if (!text.empty()) return true;
        return false;
    }

    static std::vector<TonePlayer*>& live() {
        static std::vector<TonePlayer*> players;
        return players;
    }
    static int& stallCount() {
        static int count = 0;
        return count;
    }

    pid_t pid_ = -1;
    FILE* lines_ = nullptr;
    std::deque<std::string> pending_;
};

}  // namespace sorvanel::testing
