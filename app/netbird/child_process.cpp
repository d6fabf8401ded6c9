#include "netbird/child_process.hpp"

#include <csignal>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

extern char** environ;

namespace child_process {
namespace {

constexpr int FIRST_INHERITED_FD = 3;
// Upper bound for the fallback loop when the descriptor limit is unbounded.
constexpr rlim_t FALLBACK_FD_LIMIT = 65536;
// How often a child given time to end is looked at.
constexpr auto END_POLL = std::chrono::milliseconds(20);

}  // namespace

void prepare_exec(pid_t parent) noexcept {
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
    // The death signal follows the thread that forked: the loop, the command
    // worker and the watchdog, which all live as long as the process.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);  // the supervisor died before the line above
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

bool ask_to_end(boost::process::child& child) {
    const auto pid = child.id();
    if (pid <= 0 || !child.running()) return false;  // an exited child's pid may be another's by now
    return ::kill(pid, SIGTERM) == 0;
}

void stop(boost::process::child& child, std::chrono::milliseconds grace) {
    if (ask_to_end(child)) {
        const auto deadline = std::chrono::steady_clock::now() + grace;
        while (child.running() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(END_POLL);
    }
    stop(child);
}

std::vector<std::string> compose_environ(const char* const* inherited,
                                         const std::map<std::string, std::string>& overrides) {
    std::vector<std::string> entries;
    for (const char* const* entry = inherited; entry != nullptr && *entry != nullptr; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        if (equals != nullptr && overrides.count(std::string(*entry, equals)) > 0) continue;
        entries.emplace_back(*entry);
    }
    for (const auto& [name, value] : overrides) entries.push_back(name + "=" + value);
    return entries;
}

env_block::env_block(std::vector<std::string> entries) : m_entries(std::move(entries)) {
    m_pointers.reserve(m_entries.size() + 1);
    for (auto& entry : m_entries) m_pointers.push_back(entry.data());
    m_pointers.push_back(nullptr);
}

env_block environment_with(const std::map<std::string, std::string>& overrides) {
    return env_block(compose_environ(environ, overrides));
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
