#pragma once
// What every child process of the system gets at exec time: only standard
// input, output and error stay open (sockets and other children's pipes are
// not inherited, or a pipe reader would wait for an end of file that never
// comes), the signal mask is cleared (the supervisor blocks SIGINT and
// SIGTERM for its signal thread; a child must still die of an ordinary
// SIGTERM), and the child leads a process group of its own, so that whatever
// it leaves behind holding our pipes can be killed with it.

// Boost 1.74.0 process headers use std::unique_ptr without including <memory>.
#include <memory>

#include <boost/process/child.hpp>
#include <boost/process/environment.hpp>
#include <boost/process/extend.hpp>

#include <map>
#include <optional>
#include <string>

namespace child_process {

// Marks every descriptor from 3 up close-on-exec, clears the signal mask and
// starts a new process group.
// Async-signal-safe: it runs between fork and exec.
void prepare_exec() noexcept;

struct clean_exec : boost::process::extend::handler {
    template <typename Executor>
    void on_exec_setup(Executor&) const {
        prepare_exec();
    }
};

// The program's own environment with `overrides` set on top (added, or
// replacing an inherited value); the program's environment is not changed.
boost::process::environment environment_with(const std::map<std::string, std::string>& overrides);

// Ends the child and whatever is left in its process group (leftovers would
// hold our pipes open), and reaps the child with a blocking wait: the process
// library's own terminate() polls only once and leaves a zombie behind. A
// child that has already exited is not signalled, only its group. Throws what
// the library's running() and wait() throw.
void stop(boost::process::child& child);

// stop() ignoring errors, then forgets the child.
void discard(std::optional<boost::process::child>& child) noexcept;

}  // namespace child_process
