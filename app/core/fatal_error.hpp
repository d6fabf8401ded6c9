#pragma once
// Reporting of exceptions that end the process.

#include <exception>

namespace fatal_error {

// Logs the exception `error` at error level: a traced exception as
// "Traced exception: {}" followed by one record per line of its stack trace
// (an empty last line included), any other standard exception as
// "Standard exception: {}", anything else as "Unknown exception!".
void log_exception(const std::exception_ptr& error);

// Prints the pending exception and a stack trace to standard error; installed
// as the terminate handler.
[[noreturn]] void on_terminate() noexcept;

}  // namespace fatal_error
