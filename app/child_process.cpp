#include "child_process.hpp"

#include <csignal>

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace child_process {
namespace {

constexpr int FIRST_INHERITED_FD = 3;
// Upper bound for the fallback loop when the descriptor limit is unbounded.
constexpr rlim_t FALLBACK_FD_LIMIT = 65536;

}  // namespace

void prepare_exec() noexcept {
    // close-on-exec rather than close: the process library reports exec
    // failures through a pipe of its own that must stay open until exec.
    if (::syscall(SYS_close_range, FIRST_INHERITED_FD, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        rlimit limit{};
        rlim_t max_fd = FALLBACK_FD_LIMIT;
        if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < max_fd)
            max_fd = limit.rlim_cur;
        for (int fd = FIRST_INHERITED_FD; fd < static_cast<int>(max_fd); ++fd) {
            const int flags = ::fcntl(fd, F_GETFD);
            if (flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
        }
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::setpgid(0, 0);
}

void stop(boost::process::child& child) {
    const auto pid = child.id();
    const bool running = child.running();  // reaps a child that has exited
    if (pid <= 0) return;
    ::kill(-pid, SIGKILL);
    if (!running) return;  // its pid may belong to another process by now
    ::kill(pid, SIGKILL);  // in case it never became a group leader
    child.wait();
}

boost::process::environment environment_with(const std::map<std::string, std::string>& overrides) {
    boost::process::environment env = boost::this_process::environment();
    for (const auto& [name, value] : overrides) env[name] = value;
    return env;
}

void discard(std::optional<boost::process::child>& child) noexcept {
    if (child && child->valid()) {
        try {
            stop(*child);
        } catch (...) {
            // Nothing more can be done for a child that cannot be reaped.
        }
    }
    child.reset();
}

}  // namespace child_process
