// Entry point: syslog first, so that even a failure while starting reaches the
// platform's system log; then the application object, file logs and the loop.

#include "core/application.hpp"
#include "logs/axis_syslog_sink.hpp"
#include "core/fatal_error.hpp"
#include "core/process_exit.hpp"

#include <spdlog/spdlog.h>

#include <exception>
#include <memory>

#include <malloc.h>

namespace {

constexpr const char* APP_NAME = "vantrel_vpn";
// Blocks this large or larger (a status report of a large network, a
// response body) are mapped on their own and go back to the system when
// freed. Setting the threshold stops glibc from raising it after the first
// such free, after which each report would stay in the heap for good.
constexpr int MMAP_THRESHOLD_BYTES = 128 * 1024;

// Called inside a catch handler only; never returns.
[[noreturn]] void handle_exception() {
    fatal_error::log_exception(std::current_exception());
    spdlog::error("Exiting after error");
    flush_logs_and_exit(1);
}

}  // namespace

int main() {
    std::set_terminate(fatal_error::on_terminate);
    ::mallopt(M_MMAP_THRESHOLD, MMAP_THRESHOLD_BYTES);
    try {
        auto sink = std::make_shared<axis_syslog_sink_mt>(APP_NAME, LOG_PID, LOG_USER, true);
        auto logger = std::make_shared<spdlog::logger>("axis_syslog_logger", sink);
        spdlog::set_default_logger(logger);
        spdlog::set_pattern("[%L] %v", spdlog::pattern_time_type::local);

        application app(APP_NAME);
        app.setup_file_logging();
        spdlog::info("-------------------- Application start --------------------");
        app.run();
        spdlog::info("Exiting gracefully");
        // The detached command worker and watchdog still wait on the
        // object's condition variables: end here, without destroying it or
        // running static destructors under their feet.
        flush_logs_and_exit(0);
    } catch (...) {
        handle_exception();
    }
}
