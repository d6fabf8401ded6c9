#pragma once
// What every child process of the system gets at exec time: only standard
// input, output and error stay open (sockets and other children's pipes are
// not inherited, or a pipe reader would wait for an end of file that never
// comes), and the signal mask is cleared (the supervisor blocks SIGINT and
// SIGTERM for its signal thread; a child must still die of an ordinary
// SIGTERM).

// Boost 1.74.0 process headers use std::unique_ptr without including <memory>.
#include <memory>

#include <boost/process/extend.hpp>

namespace child_process {

// Marks every descriptor from 3 up close-on-exec and clears the signal mask.
// Async-signal-safe: it runs between fork and exec.
void prepare_exec() noexcept;

struct clean_exec : boost::process::extend::handler {
    template <typename Executor>
    void on_exec_setup(Executor&) const {
        prepare_exec();
    }
};

}  // namespace child_process
