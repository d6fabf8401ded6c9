// Whether the device is enrolled, remembered from a login NetBird accepted,
// and the user's wish for the tunnel, both kept across restarts.

#include "core/application.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>

namespace fs = std::filesystem;

namespace {

constexpr const char* WISH_KEY = "wanted_up";
constexpr const char* APPLIED_KEY = "applied";
constexpr const char* ENROLLED_KEY = "enrolled";
// A sign-in was under way: found at a start, it was cut short.
constexpr const char* SIGN_IN_KEY = "sign_in_under_way";

}  // namespace

bool application::enrolled() const {
    // A deregistration, or a daemon started without its configuration, marks
    // a login needed at once, before any report.
    return m_enrolled && !m_needs_login.load(std::memory_order_acquire);
}

void application::note_enrolment(bool enrolled) {
    if (enrolled == m_enrolled) return;
    spdlog::info(enrolled ? "NetBird accepted this device's login: enrolled" : "NetBird needs a login: not enrolled");
    m_enrolled = enrolled;
    store_tunnel_state();
}

void application::load_tunnel_state() {
    const auto stored = read_json_file(m_wish_path);
    const auto wish = stored.find(WISH_KEY);
    // Wanted up unless the user took the tunnel down.
    m_desired_up = wish == stored.end() || !wish->is_boolean() || wish->get<bool>();
    // NetBird holds the options of the last up that applied them: without a
    // record of those, the stored settings are taken for them.
    m_applied_flags = tunnel_flags();
    const auto applied = stored.find(APPLIED_KEY);
    m_tunnel_state_stored = applied != stored.end() && applied->is_array() &&
                            std::all_of(applied->begin(), applied->end(),
                                        [](const nlohmann::json& a) { return a.is_string(); });
    if (m_tunnel_state_stored) m_applied_flags = applied->get<std::vector<std::string>>();
    // The daemon writes its configuration file at its first start, before any
    // enrolment, and a daemon that cannot reach its server says Connecting
    // for ever, enrolled or not: only a login NetBird accepted counts. A
    // version that kept no record judged by the file; that is taken once
    // (a NeedsLogin report clears it) and kept from then on.
    const auto sign_in = stored.find(SIGN_IN_KEY);
    m_sign_in_was_under_way = sign_in != stored.end() && sign_in->is_boolean() && sign_in->get<bool>();
    const auto enrolled = stored.find(ENROLLED_KEY);
    if (enrolled != stored.end() && enrolled->is_boolean()) {
        m_enrolled = enrolled->get<bool>();
    } else {
        std::error_code ec;
        m_enrolled = fs::exists(m_config_path, ec);
        store_tunnel_state();
    }
}

void application::store_tunnel_state() {
    m_tunnel_state_stored =
        write_json_file(m_wish_path, nlohmann::json{{WISH_KEY, m_desired_up},
                                                    {APPLIED_KEY, m_applied_flags},
                                                    {ENROLLED_KEY, enrolled()},
                                                    {SIGN_IN_KEY, sign_in_under_way() || m_sign_in_was_under_way}});
}

void application::set_desired_up(bool wanted) {
    if (wanted == m_desired_up) return;
    m_wish_changed_at = std::chrono::steady_clock::now();
    m_desired_up = wanted;
    // NetBird keeps no such wish: a daemon that starts again on an enrolled
    // device connects whatever the last "down" said.
    store_tunnel_state();
}

void application::set_applied_flags(std::vector<std::string> flags) {
    if (flags == m_applied_flags && m_tunnel_state_stored) return;
    m_applied_flags = std::move(flags);
    store_tunnel_state();
}

void application::keep_tunnel_down(const char* why) {
    if (m_desired_up || !enrolled() || m_keeping_down) return;
    spdlog::info("The tunnel is wanted down: taking it down ({})", why);
    record("kept_down", std::string("Taking the tunnel down, wanted down: ") + why);
    m_keeping_down = true;
    auto args = base_args_cli();
    args.emplace_back("down");
    auto job = run_job(std::move(args));
    job.after = [this](const command_result& result) {
        m_keeping_down = false;
        if (result.exit_code != 0) spdlog::warn("Could not take the tunnel down (exit {})", result.exit_code);
    };
    job.refused = [this] {
        m_keeping_down = false;
        spdlog::warn("Could not take the tunnel down: the command queue is full");
    };
    dispatch(nullptr, nullptr, std::move(job));
}
