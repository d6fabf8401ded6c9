#include "core/fatal_error.hpp"

#include "core/traced_exception.hpp"

#include <spdlog/spdlog.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

namespace fatal_error {

void log_exception(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        // A traced exception is a standard exception too: look for its trace first.
        if (const auto* trace = boost::get_error_info<stack_trace_info>(e)) {
            spdlog::error("Traced exception: {}", e.what());
            std::ostringstream text;
            text << *trace;
            const std::string lines = text.str();
            std::size_t start = 0;
            while (true) {
                const auto lf = lines.find('\n', start);
                spdlog::error("{}", lines.substr(start, lf == std::string::npos ? std::string::npos : lf - start));
                if (lf == std::string::npos) break;
                start = lf + 1;
            }
        } else {
            spdlog::error("Standard exception: {}", e.what());
        }
    } catch (...) {
        spdlog::error("Unknown exception!");
    }
}

[[noreturn]] void on_terminate() noexcept {
    if (const auto pending = std::current_exception()) {
        try {
            std::rethrow_exception(pending);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "terminate called with exception: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "terminate called with an unknown exception\n");
        }
    } else {
        std::fprintf(stderr, "terminate called without an active exception\n");
    }
    std::ostringstream trace;
    trace << boost::stacktrace::stacktrace();
    std::fprintf(stderr, "Stack trace:\n%s", trace.str().c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace fatal_error
