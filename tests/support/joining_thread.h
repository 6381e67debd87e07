#pragma once

#include <thread>
#include <utility>

namespace sorvanel::testing {

// A thread that joins when it goes, as std::jthread does; Apple's libc++ has no std::jthread.
class JoiningThread {
  public:
    template <class F>
    explicit JoiningThread(F&& body) : thread_(std::forward<F>(body)) {}
    JoiningThread(JoiningThread&&) noexcept = default;
    JoiningThread& operator=(JoiningThread&&) = delete;
    ~JoiningThread() {
        if (thread_.joinable()) thread_.join();
    }

  private:
    std::thread thread_;
};

}  // namespace sorvanel::testing
