#include "fatal_error.hpp"
#include "traced_exception.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <mutex>
#include <vector>

namespace {

struct capture_sink : spdlog::sinks::base_sink<std::mutex> {
    std::vector<std::pair<spdlog::level::level_enum, std::string>> records;
    void sink_it_(const spdlog::details::log_msg& msg) override {
        records.emplace_back(msg.level, std::string(msg.payload.data(), msg.payload.size()));
    }
    void flush_() override {}
};

// Installs a capturing default logger for one test and puts the old one back.
class FatalError : public ::testing::Test {
protected:
    std::shared_ptr<spdlog::logger> previous = spdlog::default_logger();
    std::shared_ptr<capture_sink> sink = std::make_shared<capture_sink>();
    void SetUp() override { spdlog::set_default_logger(std::make_shared<spdlog::logger>("unit_capture", sink)); }
    void TearDown() override {
        spdlog::set_default_logger(previous);
        spdlog::drop("unit_capture");
    }
    template <typename F>
    void log_thrown(F&& thrower) {
        try {
            thrower();
        } catch (...) {
            fatal_error::log_exception(std::current_exception());
        }
    }
};

}  // namespace

TEST_F(FatalError, StandardAndUnknownExceptions) {
    log_thrown([] { throw std::runtime_error("msg"); });
    log_thrown([] { throw 42; });
    log_thrown([] { throw boost::enable_error_info(std::logic_error("no trace")); });
    using rec = std::pair<spdlog::level::level_enum, std::string>;
    EXPECT_EQ(sink->records, (std::vector<rec>{{spdlog::level::err, "Standard exception: msg"},
                                               {spdlog::level::err, "Unknown exception!"},
                                               {spdlog::level::err, "Standard exception: no trace"}}));
}

TEST_F(FatalError, TracedExceptionLogsOneRecordPerTraceLine) {
    log_thrown([] { throw_traced(std::runtime_error("boom")); });
    ASSERT_GE(sink->records.size(), 2u);
    EXPECT_EQ(sink->records.front().second, "Traced exception: boom");
    bool frame_logged = false;
    for (std::size_t i = 0; i < sink->records.size(); ++i) {
        EXPECT_EQ(sink->records[i].first, spdlog::level::err);
        EXPECT_EQ(sink->records[i].second.find('\n'), std::string::npos) << sink->records[i].second;
        frame_logged = frame_logged || (i > 0 && !sink->records[i].second.empty());
    }
    EXPECT_TRUE(frame_logged) << "no stack frame was logged";
}

TEST(TerminateHandler, PrintsThePendingExceptionAndAStackTrace) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            std::set_terminate(fatal_error::on_terminate);
            try {
                throw std::runtime_error("escaped a thread body");
            } catch (...) {
                std::terminate();
            }
        },
        "terminate called with exception: escaped a thread body\nStack trace:\n.+");
}
