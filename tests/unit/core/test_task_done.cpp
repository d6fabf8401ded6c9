#include "core/task_done.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

// The deregistration's worker waits for the wipe it posted: one that throws or is dropped must not hold it for ever.
TEST(DoneSignal, TheWaiterGoesOnWhateverBecomesOfTheTask) {
    for (const auto fate : {"runs", "throws", "dropped"}) {
        std::function<void()> task;
        std::future<void> over;
        {
            done_signal done;
            over = done.future();
            task = [done, fate] { if (std::string(fate) == "throws") throw std::runtime_error("wipe failed"); };
        }
        EXPECT_EQ(over.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout) << fate;
        std::thread loop([task = std::move(task), fate]() mutable {
            try { if (std::string(fate) != "dropped") task(); } catch (const std::exception&) {}
            task = nullptr;
        });
        EXPECT_EQ(over.wait_for(std::chrono::seconds(5)), std::future_status::ready) << fate;
        loop.join();
    }
}
