#include "diagnostics/iperf_utils.hpp"

namespace iperf_utils {

std::vector<std::string> iperf_server_args(int port, int idle_timeout, bool one_shot) {
    std::vector<std::string> args = {"--server", "--port", std::to_string(port), "--idle-timeout",
                                     std::to_string(idle_timeout)};
    if (one_shot) args.emplace_back("--one-off");
    args.emplace_back("--forceflush");
    return args;
}

}  // namespace iperf_utils
