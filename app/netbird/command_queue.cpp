// The bounded queue that runs NetBird commands on one worker thread, and the
// jobs that run there: the command, then its hooks and answer on the event loop.

#include "core/application.hpp"

#include "api/api_json.hpp"
#include "core/task_done.hpp"

#include <spdlog/spdlog.h>

namespace {

constexpr std::size_t MAX_QUEUED_COMMANDS = 8;
constexpr int EXIT_BUSY = 503;
constexpr const char* BUSY_MESSAGE = "VPN service busy";

}  // namespace

std::string application::build_json_result(int exit_code, const std::string& output) {
    return api_json::compact({{"exit_code", exit_code}, {"ok", exit_code == 0}, {"output", output}});
}

std::string application::build_json_result(const command_result& result) {
    return build_json_result(result.exit_code, result.combined());
}

application::abort_flag application::make_abort_guard(const response_ptr& res) {
    auto aborted = std::make_shared<std::atomic<bool>>(false);
    res->on_aborted([aborted] { aborted->store(true, std::memory_order_release); });
    return aborted;
}

bool application::enqueue_command(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(m_queue_mutex);
        // Shutting down (NetBird is given its time to stop): nothing new runs.
        if (m_stopping.load(std::memory_order_acquire)) return false;
        if (m_command_queue.size() >= MAX_QUEUED_COMMANDS) return false;
        m_command_queue.push_back(std::move(job));
    }
    m_queue_cv.notify_one();
    return true;
}

std::unique_lock<std::mutex> application::lock_for_command() {
    m_commands_waiting.fetch_add(1, std::memory_order_acq_rel);
    {
        // A status poll that has stood back too often goes first.
        std::unique_lock<std::mutex> turn(m_poll_turn_mutex);
        m_poll_turn_cv.wait(turn, [this] { return !m_poll_due; });
    }
    std::unique_lock<std::mutex> lock(m_command_mutex);
    m_commands_waiting.fetch_sub(1, std::memory_order_acq_rel);
    return lock;
}

void application::command_worker_loop() {
    while (true) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(m_queue_mutex);
            m_queue_cv.wait(lock, [this] { return !m_command_queue.empty(); });
            job = std::move(m_command_queue.front());
            m_command_queue.pop_front();
        }
        // One job that fails (out of memory, say) must not end the worker and
        // with it every later command.
        try {
            job();
        } catch (const std::exception& e) {
            spdlog::error("Command job failed: {}", e.what());
        } catch (...) {
            spdlog::error("Command job failed");
        }
    }
}

command_job application::run_job(std::vector<std::string> args) {
    command_job job;
    job.run = [this, args = std::move(args)] { return run_command(args, false); };
    return job;
}

bool application::dispatch(const response_ptr& res, const abort_flag& aborted, command_job job) {
    auto refused = std::move(job.refused);
    const bool no_store = job.no_store;
    const bool by_user = job.by_user;
    if (by_user) ++m_user_commands;
    auto work = [this, res = res, aborted = aborted, job = std::move(job)]() mutable {
        auto lock = lock_for_command();
        command_result result = job.run();
        // A job that settles keeps the lock across the loop's part, so that no
        // queued command runs in between and sees half of what it changes.
        if (!job.settle) lock.unlock();
        std::future<void> loop_done;
        {
            // Released when the loop's part is over, or has failed, or never ran.
            done_signal done;
            if (job.settle) loop_done = done.future();
            // Everything the loop's part needs moves there with it, so the
            // response is never released on the worker thread.
            post_to_loop([this, res = std::move(res), aborted = std::move(aborted), after = std::move(job.after),
                          answer = std::move(job.answer), no_store = job.no_store, by_user = job.by_user,
                          result = std::move(result), done] {
                // Whatever fails here, the hook's clean-up is tried and the client answered.
                try {
                    if (after) after(result);
                } catch (const std::exception& e) {
                    spdlog::error("Command clean-up failed: {}", e.what());
                }
                if (by_user) end_user_command();
                wake_status_poller();
                if (!res || aborted->load(std::memory_order_acquire)) return;
                try {
                    if (answer) answer(res, result);
                    else write_json(res, build_json_result(result), "200 OK", no_store);
                } catch (const std::exception& e) {
                    spdlog::error("Command answer failed: {}", e.what());
                    write_json(res, api_json::error_json("Internal error"), "500 Internal Server Error", no_store);
                }
            });
        }
        if (!job.settle) return;
        loop_done.wait();
        job.settle();
    };
    if (enqueue_command(std::move(work))) return true;
    // The hooks never run for a refused job; `refused` cleans up before the answer.
    if (refused) refused();
    if (by_user) --m_user_commands;
    if (res) answer_busy(res, no_store);
    return false;
}

void application::answer_busy(const response_ptr& res, bool no_store) const {
    write_json(res, build_json_result(EXIT_BUSY, BUSY_MESSAGE), "503 Service Unavailable", no_store);
}
