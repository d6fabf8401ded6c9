// Signing in with an account instead of a setup key: NetBird's interactive
// sign-in (a device code), started from the page, shown there as a link, a
// code and a QR code, and followed to its end.
//
// NetBird's `up --no-browser` asks its daemon for a device code, prints the
// link, then waits until the person signs in, the identity provider refuses,
// or the code runs out (the provider decides when: NetBird prints no expiry),
// and connects. The start is a queued job like any other (it waits its turn
// behind the commands asked for before); the command then runs on a thread
// of its own and holds no lock, so that status polls go on, and every other
// NetBird command is refused meanwhile: a down, a restart or another up
// would end the wait or be held behind it.

#include "core/application.hpp"

#include "api/api_json.hpp"
#include "netbird/sign_in_text.hpp"
#include "settings/config_utils.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <thread>

namespace {

// The supervisor's own bound on NetBird's wait for the person.
constexpr auto SIGN_IN_DEADLINE = std::chrono::minutes(15);
// How long NetBird may take to print its link (a login retrying against a
// server it cannot reach included), as any other command's limit.
constexpr auto LINK_WAIT = std::chrono::seconds(60);
// How much of NetBird's output is searched for the link.
constexpr std::size_t MAX_OUTPUT_SEARCHED = 16 * 1024;
// How much of a failure's text goes to the page and the history.
constexpr std::size_t MAX_MESSAGE_LENGTH = 300;
constexpr const char* UNDER_WAY_MESSAGE = "A sign-in is under way";
constexpr const char* NONE_UNDER_WAY_MESSAGE = "No sign-in is under way";
constexpr const char* ENROLLED_MESSAGE =
    "This device is already enrolled: deregister it first to sign in with another account";
constexpr const char* KEY_ENROLMENT_MESSAGE = "An enrolment with a setup key is under way";
constexpr const char* PHASE_STARTING = "starting";
constexpr const char* PHASE_WAITING = "waiting";
constexpr const char* PHASE_ENDED = "ended";

// Who got to a queued sign-in first: its job, or a cancel.
enum class stage : int { queued, running, abandoned };
// Why the supervisor ended NetBird's wait.
enum class stop_reason : int { none, cancelled, no_link, failed };

std::string sentence_for(const std::string& outcome) {
    if (outcome == "connected") return "Signed in: the device is enrolled and connected.";
    if (outcome == "expired") return "The sign-in expired before anyone signed in.";
    if (outcome == "refused") return "The sign-in was refused.";
    if (outcome == "cancelled") return "The sign-in was cancelled.";
    if (outcome == "interrupted") return "The sign-in was interrupted: the application restarted.";
    return "The sign-in failed.";
}

// NetBird's last error line, without what must not be kept.
std::string failure_text(const application::command_result& result, const std::optional<sign_in_text::link>& link) {
    std::string text = sign_in_text::without_secrets(result.stderr_data, link);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (const auto line = text.rfind('\n'); line != std::string::npos) text.erase(0, line + 1);
    if (text.size() > MAX_MESSAGE_LENGTH) text = text.substr(0, MAX_MESSAGE_LENGTH) + "…";
    return text;
}

}  // namespace

struct sign_in_control {
    std::atomic<int> stage{static_cast<int>(::stage::queued)};
    std::atomic<int> reason{static_cast<int>(stop_reason::none)};
    std::atomic<bool> linked{false};  // NetBird printed its link
    std::chrono::steady_clock::time_point deadline{};
    // What the sign-in applies when it connects, and the wish before it.
    std::vector<std::string> flags;
    bool wished = false;

    // The first reason given wins.
    void end(stop_reason why) {
        int none = static_cast<int>(stop_reason::none);
        reason.compare_exchange_strong(none, static_cast<int>(why));
    }
    bool ended() const { return reason.load(std::memory_order_acquire) != static_cast<int>(stop_reason::none); }
};

bool application::sign_in_under_way() const { return m_sign_in && m_sign_in->phase != PHASE_ENDED; }

bool application::refuse_during_sign_in(const response_ptr& res) const {
    if (!sign_in_under_way()) return false;
    write_json(res, api_json::error_json(UNDER_WAY_MESSAGE), "409 Conflict", true);
    return true;
}

std::string application::sign_in_json() const {
    if (!m_sign_in) return "null";
    const auto& s = *m_sign_in;
    nlohmann::json out = {{"phase", s.phase}};
    if (s.phase == PHASE_WAITING) {
        const auto left = std::chrono::duration_cast<std::chrono::seconds>(s.deadline - std::chrono::steady_clock::now());
        out["url"] = s.url;
        out["code"] = s.code.empty() ? nlohmann::json(nullptr) : nlohmann::json(s.code);
        out["expires_in_s"] = std::max<std::int64_t>(0, left.count());
        out["deadline_s"] = std::chrono::duration_cast<std::chrono::seconds>(SIGN_IN_DEADLINE).count();
    } else if (s.phase == PHASE_ENDED) {
        out["outcome"] = s.outcome;
        out["message"] = s.message;
    }
    return api_json::compact(out);
}

void application::answer_sign_in_waiters(std::vector<std::pair<response_ptr, abort_flag>>& waiters,
                                         bool cancelling) {
    const bool ok = m_sign_in && (m_sign_in->phase == PHASE_WAITING || m_sign_in->outcome == "connected" ||
                                  (cancelling && m_sign_in->outcome == "cancelled"));
    std::string body = "{\"ok\":" + std::string(ok ? "true" : "false");
    if (m_sign_in && m_sign_in->phase == PHASE_ENDED) body += ",\"output\":" + api_json::compact(m_sign_in->message);
    body += ",\"sign_in\":" + sign_in_json() + "}";
    for (auto& [res, aborted] : waiters)
        if (!aborted->load(std::memory_order_acquire)) write_json(res, body, "200 OK", true);
    waiters.clear();
}

void application::api_login(const response_ptr& res, request&) {
    const auto aborted = make_abort_guard(res);
    collect_body(res, [this, res, aborted](const std::string&) {
        if (refuse_during_sign_in(res)) return;
        // NetBird ignores a login for a peer it already knows.
        if (enrolled()) {
            write_json(res, api_json::error_json(ENROLLED_MESSAGE), "409 Conflict", true);
            return;
        }
        // A setup key's up queued or running enrols the device first.
        if (m_enrolments_under_way > 0) {
            write_json(res, api_json::error_json(KEY_ENROLMENT_MESSAGE), "409 Conflict", true);
            return;
        }
        if (const std::string problem = config_utils::management_url_problem(m_app_config); !problem.empty()) {
            write_json(res, api_json::error_json(problem), "400 Bad Request", true);
            return;
        }
        auto control = std::make_shared<sign_in_control>();
        control->flags = tunnel_flags();
        control->wished = m_desired_up;
        const auto previous = m_sign_in;
        m_sign_in = sign_in_facts{PHASE_STARTING, {}, {}, {}, {}, {}};
        m_sign_in_control = control;
        // Wanted up, as with an up: a report of the new tunnel must not be
        // taken down again. Stored with the mark of a sign-in under way.
        set_desired_up(true);
        store_tunnel_state();

        auto args = build_up_args({});
        args.emplace_back("--no-browser");
        auto down_args = base_args_cli();
        down_args.emplace_back("down");
        command_job job;
        job.run = [this, control, args = std::move(args), down_args = std::move(down_args)]() -> command_result {
            int queued = static_cast<int>(stage::queued);
            if (!control->stage.compare_exchange_strong(queued, static_cast<int>(stage::running)))
                return {0, "", ""};  // cancelled while queued: the loop has ended it
            // NetBird's up waits without end on a connect loop that never
            // connected, and on a refused login: a down ends either.
            if (m_connect_stuck.load(std::memory_order_acquire)) run_command(down_args, false);
            control->deadline = std::chrono::steady_clock::now() + SIGN_IN_DEADLINE;
            try {
                std::thread(&application::run_sign_in, this, args, down_args, control).detach();
            } catch (const std::exception& e) {
                return {1, "", std::string("Could not start the sign-in: ") + e.what()};
            }
            return {0, "", ""};
        };
        job.after = [this, control](const command_result& result) {
            if (result.exit_code != 0) finish_sign_in(control, "failed", result.stderr_data);
        };
        job.refused = [this, control, previous] {
            m_sign_in = previous;
            m_sign_in_control.reset();
            set_desired_up(control->wished);
            store_tunnel_state();
        };
        if (!dispatch(nullptr, nullptr, std::move(job))) {
            answer_busy(res, true);
            return;
        }
        spdlog::info("Sign-in started: waiting for NetBird's sign-in link");
        record("sign_in", "Sign-in started", {{"outcome", "started"}});
        m_sign_in_starts.emplace_back(res, aborted);
    });
}

void application::api_login_cancel(const response_ptr& res, request&) {
    const auto aborted = make_abort_guard(res);
    if (!sign_in_under_way() || !m_sign_in_control) {
        write_json(res, api_json::error_json(NONE_UNDER_WAY_MESSAGE), "409 Conflict", true);
        return;
    }
    const auto control = m_sign_in_control;
    m_sign_in_cancels.emplace_back(res, aborted);
    int queued = static_cast<int>(stage::queued);
    if (control->stage.compare_exchange_strong(queued, static_cast<int>(stage::abandoned))) {
        // Its job has not run: nothing of NetBird's to end.
        finish_sign_in(control, "cancelled", {});
        return;
    }
    control->end(stop_reason::cancelled);
}

void application::run_sign_in(std::vector<std::string> args, std::vector<std::string> down_args,
                              std::shared_ptr<sign_in_control> control) {
    // Nothing that fails here (out of memory, say) may end the supervisor:
    // the sign-in ends as failed instead.
    try {
        follow_sign_in(std::move(args), std::move(down_args), control);
    } catch (const std::exception& e) {
        spdlog::error("Sign-in failed: {}", e.what());
        post_to_loop([this, control] { finish_sign_in(control, "failed", {}); });
    }
}

void application::follow_sign_in(std::vector<std::string> args, std::vector<std::string> down_args,
                                 const std::shared_ptr<sign_in_control>& control) {
    command_limits limits;
    limits.limit = SIGN_IN_DEADLINE;
    limits.pid_slot = &m_sign_in_pid;
    const auto started = std::chrono::steady_clock::now();
    limits.stop = [control, started] {
        if (!control->linked.load(std::memory_order_acquire) && std::chrono::steady_clock::now() - started > LINK_WAIT)
            control->end(stop_reason::no_link);
        return control->ended();
    };
    std::string seen;
    std::optional<sign_in_text::link> link;
    limits.on_output_line = [this, &seen, &link, control](const std::string& line) {
        if (link || seen.size() > MAX_OUTPUT_SEARCHED) return;
        try {
            seen.append(line).append("\n");
            link = sign_in_text::find_link(seen);
            if (!link) return;
            control->linked.store(true, std::memory_order_release);
            post_to_loop([this, control, url = link->url, code = link->code]() mutable {
                show_sign_in_link(control, std::move(url), std::move(code));
            });
        } catch (const std::exception&) {
            control->end(stop_reason::failed);  // on the reader thread: ends the command instead
        }
    };
    const auto result = run_command(args, false, limits);
    // Cut short by the supervisor's stop: the next start records it as
    // interrupted. One that connected first is told (the loop still runs).
    if (m_stopping.load(std::memory_order_acquire) && result.exit_code != 0) return;

    // A stop that came after the command had ended by itself changes nothing.
    const auto reason = result.exit_code == EXIT_STOPPED
                            ? static_cast<stop_reason>(control->reason.load(std::memory_order_acquire))
                            : stop_reason::none;
    std::string outcome;
    std::string message;
    if (reason == stop_reason::cancelled) {
        outcome = "cancelled";
    } else if (reason == stop_reason::no_link) {
        outcome = "failed";
        message = "NetBird printed no sign-in link within " + std::to_string(LINK_WAIT.count()) + " s.";
    } else if (reason == stop_reason::failed) {
        outcome = "failed";
    } else if (result.exit_code == EXIT_TIMED_OUT) {
        outcome = "expired";
    } else {
        outcome = sign_in_text::name_of(sign_in_text::judge_end(result.exit_code, result.combined()));
        if (outcome == "failed" || outcome == "refused") message = failure_text(result, link);
    }
    // A wait the supervisor ended must end in the daemon too, or it would go
    // on waiting for a person; the down leaves it not connected, not enrolled.
    if (reason != stop_reason::none || result.exit_code == EXIT_TIMED_OUT) {
        const auto lock = lock_for_command();
        run_command(down_args, false);
    }
    if (outcome == "connected") {
        note_logged_in();
        m_connect_stuck.store(false, std::memory_order_release);
    }
    post_to_loop([this, control, outcome = std::move(outcome), message = std::move(message)]() mutable {
        finish_sign_in(control, std::move(outcome), std::move(message));
    });
}

void application::show_sign_in_link(const std::shared_ptr<sign_in_control>& control, std::string url,
                                    std::string code) {
    if (control != m_sign_in_control || !m_sign_in) return;
    m_sign_in->phase = PHASE_WAITING;
    m_sign_in->url = std::move(url);
    m_sign_in->code = std::move(code);
    m_sign_in->deadline = control->deadline;
    spdlog::info("Sign-in waiting for the person to sign in (at most {} min)",
                 std::chrono::duration_cast<std::chrono::minutes>(SIGN_IN_DEADLINE).count());
    answer_sign_in_waiters(m_sign_in_starts, false);
}

void application::finish_sign_in(const std::shared_ptr<sign_in_control>& control, std::string outcome,
                                 std::string message) {
    if (control != m_sign_in_control || !m_sign_in) return;
    const std::string sentence = sentence_for(outcome);
    m_sign_in = sign_in_facts{PHASE_ENDED, {}, {}, {}, outcome, message.empty() ? sentence : sentence + " " + message};
    m_sign_in_control.reset();
    if (outcome == "connected") {
        note_enrolment(true);
        set_applied_flags(control->flags);
    } else {
        set_desired_up(control->wished);
    }
    store_tunnel_state();  // without the mark of a sign-in under way
    spdlog::info("Sign-in ended: {}", outcome);
    record("sign_in", m_sign_in->message, {{"outcome", outcome}});
    answer_sign_in_waiters(m_sign_in_starts, false);
    answer_sign_in_waiters(m_sign_in_cancels, true);
    wake_status_poller();
}

void application::note_interrupted_sign_in() {
    if (!m_sign_in_was_under_way) return;
    m_sign_in_was_under_way = false;
    m_sign_in = sign_in_facts{PHASE_ENDED, {}, {}, {}, "interrupted", sentence_for("interrupted")};
    spdlog::warn("A sign-in was under way when the supervisor stopped: it is over");
    record("sign_in", m_sign_in->message, {{"outcome", "interrupted"}});
    store_tunnel_state();
}
