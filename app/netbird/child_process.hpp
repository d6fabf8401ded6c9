#pragma once
// What every child process of the system gets at exec time: only standard
// input, output and error stay open (sockets and other children's pipes are
// not inherited, or a pipe reader would wait for an end of file that never
// comes), the signal mask is cleared (the supervisor blocks SIGINT and
// SIGTERM for its signal thread; a child must still die of an ordinary
// SIGTERM), the child leads a process group of its own, so that whatever it
// leaves behind holding our pipes can be killed with it, and it dies with
// the supervisor (a killed supervisor must not leave a daemon behind).

// Boost 1.74.0 process headers use std::unique_ptr without including <memory>.
#include <memory>

#include <boost/process/child.hpp>
#include <boost/process/extend.hpp>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

namespace child_process {

// Marks every descriptor from 3 up close-on-exec, clears the signal mask,
// starts a new process group and asks for SIGKILL when the thread that
// started the child ends (all of ours live as long as the process). A child
// whose parent is already gone (not `parent`) ends at once.
// Async-signal-safe: it runs between fork and exec.
void prepare_exec(pid_t parent) noexcept;

struct clean_exec : boost::process::extend::handler {
    pid_t parent = ::getpid();

    template <typename Executor>
    void on_exec_setup(Executor&) const {
        prepare_exec(parent);
    }
};

// The environment of a child: `inherited` (a null-terminated "NAME=value"
// array such as environ) with `overrides` set on top, replacing an inherited
// entry of the same name. Entries without "=" are kept as they are.
// Example: {"A=1", "B=2"} with {B: "3", C: "4"} -> {"A=1", "B=3", "C=4"}.
std::vector<std::string> compose_environ(const char* const* inherited,
                                         const std::map<std::string, std::string>& overrides);

// Hands an environment block to one launch (instead of the process
// library's environment object, whose lookups read past short strings).
class env_block : public boost::process::extend::handler {
public:
    explicit env_block(std::vector<std::string> entries);
    // A move keeps the strings where they are, so the pointers stay valid;
    // a copy would point into the original.
    env_block(env_block&&) = default;
    env_block(const env_block&) = delete;
    env_block& operator=(const env_block&) = delete;

    template <typename Executor>
    void on_setup(Executor& exec) {
        exec.env = m_pointers.data();
    }

private:
    std::vector<std::string> m_entries;
    std::vector<char*> m_pointers;  // into m_entries, null-terminated
};

// The program's own environment with `overrides` on top, for one launch.
env_block environment_with(const std::map<std::string, std::string>& overrides);

// Ends the child and whatever is left in its process group (leftovers would
// hold our pipes open), and reaps the child with a blocking wait: the process
// library's own terminate() polls only once and leaves a zombie behind. A
// child that has already exited is not signalled, only its group. Throws what
// the library's running() and wait() throw.
void stop(boost::process::child& child);

// Asks a running child to end with SIGTERM (to the child alone: NetBird takes
// its tunnel down before it exits). False when it had already exited (it is
// reaped then) or was never started. Throws what running() throws.
bool ask_to_end(boost::process::child& child);

// ask_to_end(), then up to `grace` for the child to end before stop(). Blocks
// the caller (it polls): for a thread that serves nothing else meanwhile.
void stop(boost::process::child& child, std::chrono::milliseconds grace);

// stop() ignoring errors, then forgets the child.
void discard(std::optional<boost::process::child>& child) noexcept;

}  // namespace child_process
