#include "core/fatal_error.hpp"
#include "core/traced_exception.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

#include <cstdlib>

namespace {

void log_thrown(void (*thrower)()) {
    try { thrower(); } catch (...) { fatal_error::log_exception(std::current_exception()); }
}

}  // namespace

TEST(FatalError, OneErrorRecordPerExceptionOrTraceLine) {
    const auto previous = spdlog::default_logger();
    const auto sink = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(1000);
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("unit_capture", sink));
    log_thrown([] { throw std::runtime_error("msg"); });
    log_thrown([] { throw 42; });
    log_thrown([] { throw boost::enable_error_info(std::logic_error("no trace")); });
    log_thrown([] { throw_traced(std::runtime_error("boom")); });
    spdlog::set_default_logger(previous);
    spdlog::drop("unit_capture");

    std::vector<std::string> lines;
    for (const auto& record : sink->last_raw()) {
        EXPECT_EQ(record.level, spdlog::level::err);
        lines.emplace_back(record.payload.data(), record.payload.size());
        EXPECT_EQ(lines.back().find('\n'), std::string::npos) << lines.back();
    }
    ASSERT_GE(lines.size(), 5u) << "no stack frame was logged";
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4),
              (std::vector<std::string>{"Standard exception: msg", "Unknown exception!",
                                        "Standard exception: no trace", "Traced exception: boom"}));
    EXPECT_FALSE(lines[4].empty());
}

TEST(TerminateHandler, PrintsThePendingExceptionAndAStackTrace) {
    // The death test runs this binary again: an emulated arm64 binary needs binfmt_misc for that.
    if (std::getenv("VANTREL_EMULATED_WITHOUT_BINFMT") != nullptr)
        GTEST_SKIP() << "re-executing an emulated binary needs binfmt_misc, which is not available here";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            std::set_terminate(fatal_error::on_terminate);
            try { throw std::runtime_error("escaped a thread body"); } catch (...) { std::terminate(); }
        },
        "terminate called with exception: escaped a thread body\nStack trace:\n.+");
}
