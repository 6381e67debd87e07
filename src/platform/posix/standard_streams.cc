#include "platform/posix/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

namespace sorvanel {

void silenceStandardError() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) continue;
        const int held = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (held >= 0 && held != fd) ::close(held);
    }
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) return;
    if (null != STDERR_FILENO) {
        ::dup2(null, STDERR_FILENO);
        ::close(null);
    }
}

void ignoreBrokenPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace sorvanel
