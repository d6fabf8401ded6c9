#pragma once
// A thread that hands a task to another thread and must wait until it is
// over: done_signal is carried by the task (in its captures) and signals when
// the last copy of the task is gone. So the waiter goes on whether the task
// ran, threw, or was dropped without running (its queue destroyed) and never
// waits for ever.
//
// Example:
//   done_signal done;
//   auto over = done.future();
//   post([done] { wipe(); });   // throws, runs or never runs: all the same
//   done = {};                  // the waiter's own copy must go too
//   over.wait();

#include <future>
#include <memory>

class done_signal {
public:
    done_signal() : m_state(std::make_shared<state>()) {}

    // The future of this signal; call once, before handing the task over.
    std::future<void> future() { return m_state->promise.get_future(); }

private:
    struct state {
        std::promise<void> promise;
        ~state() { promise.set_value(); }
    };
    std::shared_ptr<state> m_state;
};
