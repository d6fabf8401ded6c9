// A daemon restart as a command job: it waits its turn behind the running
// command (never killing the daemon under it) and holds the command lock
// until the new daemon listens, so that no queued command meets a daemon that
// is half stopped or half started. The daemon's handle stays on the loop: the
// worker has the loop stop and start it, and waits.

#include "core/application.hpp"

#include "core/task_done.hpp"

#include <spdlog/spdlog.h>

#include <sys/stat.h>

#include <thread>

namespace fs = std::filesystem;

namespace {

// The new daemon gets this long to open its socket before the next queued
// command runs.
constexpr auto DAEMON_READY_WAIT = std::chrono::seconds(5);
constexpr auto DAEMON_READY_POLL = std::chrono::milliseconds(50);
constexpr const char* NOT_RUNNING = "the daemon is not running";

bool holds_socket(const fs::path& file) {
    struct stat info {};
    return ::lstat(file.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

}  // namespace

bool application::restart_daemon_in_turn(std::function<void()> between) {
    auto started = std::make_shared<std::atomic<bool>>(false);
    std::future<void> over;
    {
        // Released when the loop's part is over, or has failed, or never ran.
        done_signal done;
        over = done.future();
        post_to_loop([this, between = std::move(between), started, done] {
            stop_service_then([this, between, started, done] {
                if (between) between();
                if (m_shutting_down) return;
                // A killed daemon leaves its socket: the wait below is for the new one's.
                if (holds_socket(m_socket_path)) {
                    std::error_code ignored;
                    fs::remove(m_socket_path, ignored);
                }
                started->store(start_service(), std::memory_order_release);
                // The new daemon has the current environment.
                m_pending_restart.store(false, std::memory_order_release);
            });
        });
    }
    over.wait();
    if (!started->load(std::memory_order_acquire)) return false;
    const auto deadline = std::chrono::steady_clock::now() + DAEMON_READY_WAIT;
    while (!holds_socket(m_socket_path) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(DAEMON_READY_POLL);
    return true;
}

command_job application::daemon_restart_job(std::string reason) {
    command_job job;
    job.run = [this, reason = std::move(reason)] {
        spdlog::info("Restarting the VPN service: {}", reason);
        const bool running = restart_daemon_in_turn(nullptr);
        return command_result{running ? 0 : 1, running ? "" : NOT_RUNNING, ""};
    };
    return job;
}

bool application::queue_daemon_restart(std::string reason) {
    return dispatch(nullptr, std::make_shared<std::atomic<bool>>(false), daemon_restart_job(std::move(reason)));
}
