#pragma once
// Exceptions that carry the stack trace of the place they were thrown from.
// A "traced exception" is a standard exception with a stack trace attached
// as boost::error_info; the fatal-error handler logs the trace line by line.

#include <boost/exception/all.hpp>
#include <boost/stacktrace.hpp>

#include <stdexcept>
#include <string>

using stack_trace_info = boost::error_info<struct stack_trace_tag, boost::stacktrace::stacktrace>;

// Throws `error` with the current stack trace attached.
// Example: throw_traced(std::runtime_error("boom")) is logged as "Traced
// exception: boom" followed by one record per frame.
template <typename Error>
[[noreturn]] void throw_traced(const Error& error) {
    throw boost::enable_error_info(error) << stack_trace_info(boost::stacktrace::stacktrace());
}
