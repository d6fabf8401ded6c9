// Running one short NetBird command: captured output, a time limit, and every
// failure folded into the result instead of thrown.

#include "core/application.hpp"

#include "netbird/child_process.hpp"
#include "netbird/command_lines.hpp"

#include <boost/process/args.hpp>
#include <boost/process/child.hpp>
#include <boost/process/exe.hpp>
#include <boost/process/io.hpp>
#include <spdlog/spdlog.h>

#include <chrono>
#include <csignal>
#include <optional>
#include <thread>

namespace bp = boost::process;

namespace {

constexpr auto COMMAND_POLL_INTERVAL = std::chrono::milliseconds(100);
constexpr int EXIT_NOT_RUN = 127;

void read_stream(bp::ipstream& stream, std::string& target,
                 const std::function<void(const std::string&)>& on_line = nullptr) {
    std::string line;
    while (std::getline(stream, line)) {
        target.append(line).append("\n");
        if (on_line) on_line(line);
    }
}

}  // namespace

application::command_result application::run_command(const std::vector<std::string>& args, bool quiet) const {
    return run_command(args, quiet, command_limits{});
}

application::command_result application::run_command(const std::vector<std::string>& args, bool quiet,
                                                     const command_limits& limits) const {
    std::atomic<pid_t>& pid_slot = limits.pid_slot ? *limits.pid_slot : m_command_pid;
    if (m_stopping.load(std::memory_order_acquire)) return {EXIT_NOT_RUN, "", "process failed: shutting down"};
    std::error_code exists_error;
    if (args.empty() || !std::filesystem::exists(m_netbird_path, exists_error))
        return {EXIT_NOT_RUN, "", "VPN CLI not found"};

    // Never throws: a command that cannot start (no descriptors, no memory,
    // no thread) is a result like any other. The streams and the child
    // outlive the reader threads on every path: on an error the child is
    // killed first (its pipes then reach end of file) and the readers are
    // joined before anything is released.
    std::string out_data;
    std::string err_data;
    std::optional<bp::ipstream> out_stream;
    std::optional<bp::ipstream> err_stream;
    std::optional<bp::child> child;
    std::thread out_thread;
    std::thread err_thread;
    const auto join_readers = [&out_thread, &err_thread] {
        if (out_thread.joinable()) out_thread.join();
        if (err_thread.joinable()) err_thread.join();
    };
    const auto forget_child = [&pid_slot, &child] {
        pid_slot.store(0, std::memory_order_release);
        child_process::discard(child);
    };
    try {
        const auto overrides = build_command_env();
        if (!quiet) spdlog::info("Running command: {}", command_lines::render_command_line(args));
        out_stream.emplace();
        err_stream.emplace();
        child.emplace(bp::exe = args.front(), bp::args = std::vector<std::string>(args.begin() + 1, args.end()),
                      bp::std_out > *out_stream, bp::std_err > *err_stream,
                      child_process::environment_with(overrides), child_process::clean_exec{});
        // Shutdown ends the command's whole process group through this; a
        // shutdown that came between the check above and the start ends it here.
        pid_slot.store(child->id(), std::memory_order_release);
        if (m_stopping.load(std::memory_order_acquire)) ::kill(-child->id(), SIGKILL);
        out_thread = std::thread([&out_stream, &out_data, &limits] {
            read_stream(*out_stream, out_data, limits.on_output_line);
        });
        err_thread = std::thread([&err_stream, &err_data] { read_stream(*err_stream, err_data); });

        const auto started = std::chrono::steady_clock::now();
        int exit_code = 0;
        while (true) {
            if (!child->running()) {
                child->wait();
                exit_code = child->exit_code();
                break;
            }
            if (limits.stop && limits.stop()) {
                exit_code = EXIT_STOPPED;
                break;
            }
            if (std::chrono::steady_clock::now() - started > limits.limit) {
                spdlog::error("Command timed out after {} seconds",
                              std::chrono::duration_cast<std::chrono::seconds>(limits.limit).count());
                exit_code = EXIT_TIMED_OUT;
                break;
            }
            std::this_thread::sleep_for(COMMAND_POLL_INTERVAL);
        }
        // Kills a command that timed out, and anything a command left running.
        pid_slot.store(0, std::memory_order_release);
        child_process::stop(*child);
        join_readers();
        return {exit_code, std::move(out_data), std::move(err_data)};
    } catch (const std::exception& e) {
        forget_child();
        join_readers();
        return {EXIT_NOT_RUN, "", std::string("process failed: ") + e.what()};
    } catch (...) {
        forget_child();
        join_readers();
        return {EXIT_NOT_RUN, "", "process failed: unknown error"};
    }
}
