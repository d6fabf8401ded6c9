#pragma once
// How anything in the system has NetBird do something: one job, queued for
// the command worker, that says what runs there and what follows on the
// event loop. Every endpoint and the supervisor's own commands go this way,
// so the lock, the hand-back to the loop and the answer are written once.
//
// The life of a job:
//   queue full        -> `refused` on the loop (undo what the caller did
//                        beforehand), then 503 "VPN service busy"
//   worker            -> `run` under the command lock
//   loop              -> `after`, whatever became of the client (clean-up,
//                        state, the history); the status poll is woken;
//                        then `answer`, only if the client is still there
//                        (default: the result as JSON, 200)
//   worker            -> `settle`, when set: still under the lock, once the
//                        loop's part is over (nothing queued may run before)
//
// Example (a down):
//   command_job job;
//   job.run = [this, args] { return run_command(args, false); };
//   job.after = [this](const command_result& r) { record_command("down", r); };
//   job.refused = [this, wished] { set_desired_up(wished); };
//   dispatch(res, aborted, std::move(job));

#include "http/http_response.hpp"

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include <sys/types.h>

// Exit code, standard output and standard error of one NetBird command.
struct command_result {
    int exit_code = 0;
    std::string stdout_data;
    std::string stderr_data;

    std::string combined() const { return stdout_data + stderr_data; }
};

// How one command is run when the usual ones do not fit: a sign-in waits for
// a person far longer than any other command, is read as it prints, and can
// be ended from outside.
// Exit codes of a command the supervisor ended: past its limit, or stopped.
constexpr int EXIT_TIMED_OUT = 124;
constexpr int EXIT_STOPPED = 130;

struct command_limits {
    std::chrono::steady_clock::duration limit = std::chrono::seconds(60);
    // Each line of standard output as it comes (on a reader thread).
    std::function<void(const std::string& line)> on_output_line;
    // True: the command is ended at once (asked ten times a second).
    std::function<bool()> stop;
    // Where the running command's pid is kept for the shutdown; null: the
    // command worker's.
    std::atomic<pid_t>* pid_slot = nullptr;
};

struct command_job {
    std::function<command_result()> run;
    std::function<void(const command_result&)> after;
    std::function<void(const httpd::response_ptr&, const command_result&)> answer;
    std::function<void()> refused;
    std::function<void()> settle;
    bool no_store = false;  // the answer carries Cache-Control: no-store
    // The user asked for it: what it does to the tunnel, and what NetBird
    // does until it settles, is marked so in the history, never counted as a
    // drop or an unasked restart.
    bool by_user = false;
};
