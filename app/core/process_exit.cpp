#include "core/process_exit.hpp"

#include <spdlog/spdlog.h>

#include <unistd.h>

[[noreturn]] void flush_logs_and_exit(int status) {
    try {
        spdlog::apply_all([](const std::shared_ptr<spdlog::logger>& logger) { logger->flush(); });
        if (auto logger = spdlog::default_logger()) logger->flush();
    } catch (...) {
        // Nothing more can be reported at this point.
    }
    ::_exit(status);
}
