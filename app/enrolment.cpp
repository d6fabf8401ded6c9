// Whether the device is enrolled, judged from NetBird's own report, and the
// user's wish for the tunnel, kept across restarts.

#include "application.hpp"

#include "netbird_utils.hpp"

#include <spdlog/spdlog.h>

namespace fs = std::filesystem;

namespace {

constexpr const char* WISH_KEY = "wanted_up";

}  // namespace

bool application::enrolled() const {
    // The daemon writes its configuration file at its first start, before any
    // enrolment: the file alone says only that the daemon ran once.
    std::error_code ec;
    if (!fs::exists(m_config_path, ec)) return false;
    return !m_daemon_status || !netbird_utils::is_unenrolled_state(*m_daemon_status);
}

std::optional<bool> application::stored_wish() const {
    const auto stored = read_json_file(m_wish_path);
    const auto wish = stored.find(WISH_KEY);
    if (wish == stored.end() || !wish->is_boolean()) return std::nullopt;
    return wish->get<bool>();
}

void application::set_desired_up(bool wanted) {
    m_desired_up = wanted;
    // NetBird keeps no such wish: a daemon that starts again on an enrolled
    // device connects whatever the last "down" said.
    if (stored_wish() != wanted) write_json_file(m_wish_path, nlohmann::json{{WISH_KEY, wanted}});
}

void application::keep_tunnel_down() {
    if (m_desired_up || !enrolled() || m_keeping_down) return;
    spdlog::info("The tunnel is wanted down: taking it down, NetBird having brought it up");
    record("kept_down", "Taking the tunnel down: it is wanted down, and NetBird connected by itself");
    m_keeping_down = true;
    auto args = base_args_cli();
    args.emplace_back("down");
    auto job = [this, args = std::move(args)] {
        command_result result;
        {
            const auto lock = lock_for_command();
            result = run_command(args, false);
        }
        if (result.exit_code != 0) spdlog::warn("Could not take the tunnel down (exit {})", result.exit_code);
        post_to_loop([this] {
            m_keeping_down = false;
            wake_status_poller();
        });
    };
    if (enqueue_command(std::move(job))) return;
    m_keeping_down = false;
    spdlog::warn("Could not take the tunnel down: the command queue is full");
}
