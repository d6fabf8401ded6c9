#pragma once
// The iperf3 server's command line.

#include <string>
#include <vector>

namespace iperf_utils {

// Arguments after the program path.
// Example: (5201, 60, true) -> --server --port 5201 --idle-timeout 60 --one-off --forceflush
std::vector<std::string> iperf_server_args(int port, int idle_timeout, bool one_shot);

}  // namespace iperf_utils
