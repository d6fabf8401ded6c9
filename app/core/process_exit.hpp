#pragma once
// Ending the process while detached threads (command worker, watchdog, output
// readers) may still be logging. A normal exit() would run static destructors
// (the logging registry among them) under those threads' feet; instead the
// log sinks are flushed and the process ends without running them.

[[noreturn]] void flush_logs_and_exit(int status);
