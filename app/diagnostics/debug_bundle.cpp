// NetBird debug bundles: download the archive, or have NetBird upload it and
// report the upload key. The archive never stays behind on the flash.

#include "core/application.hpp"

#include "api/api_json.hpp"
#include "http/file_body.hpp"
#include "logs/log_files.hpp"
#include "netbird/netbird_utils.hpp"

#include <spdlog/spdlog.h>

#include <ctime>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

bool want_anonymize(const httpd::http_request& req) {
    const std::string value = req.get_query("anonymize");
    return value == "1" || value == "true";
}

void delete_named_archive(const application::command_result& result) {
    if (const auto archive = netbird_utils::parse_debug_bundle_path(result.stdout_data)) {
        std::error_code ignored;
        fs::remove(*archive, ignored);
    }
}

}  // namespace

std::string application::build_debug_upload_json(const command_result& result) {
    return api_json::compact({{"exit_code", result.exit_code},
                              {"key", netbird_utils::parse_debug_bundle_upload_key(result.stdout_data).value_or("")},
                              {"ok", result.exit_code == 0},
                              {"output", result.stdout_data + result.stderr_data}});
}

void application::api_debug_bundle(const response_ptr& res, request& req) {
    const auto aborted = make_abort_guard(res);
    auto args = base_args_cli();
    args.insert(args.end(), {"debug", "bundle"});
    if (want_anonymize(req)) args.emplace_back("--anonymize");
    auto job = [this, res = res, aborted = aborted, args = std::move(args)]() mutable {
        command_result result;
        {
            const auto lock = lock_for_command();
            result = run_command(args, false);
        }
        post_to_loop([this, res = std::move(res), aborted = std::move(aborted), result = std::move(result)] {
            const auto archive = netbird_utils::parse_debug_bundle_path(result.stdout_data);
            if (aborted->load(std::memory_order_acquire)) {
                delete_named_archive(result);
                return;
            }
            if (result.exit_code == 0 && archive) {
                std::uintmax_t size = 0;
                const int fd = log_files::open_regular(*archive, size);
                if (fd >= 0) {
                    // Streamed from the open file, which is deleted below:
                    // the descriptor keeps it readable until it is sent.
                    res->write_status("200 OK");
                    res->write_header("Content-Type", "application/zip");
                    // Named after the device and the time: an installer collects them from many.
                    char host[256] = {};
                    ::gethostname(host, sizeof host - 1);
                    res->write_header("Content-Disposition",
                                      "attachment; filename=\"" +
                                          netbird_utils::debug_bundle_file_name(host, std::time(nullptr)) + "\"");
                    res->write_header("Cache-Control", "no-store");
                    res->end_streamed(size, httpd::file_body(fd));
                } else {
                    write_json(res, api_json::error_json("Could not read debug bundle"), "500 Internal Server Error",
                               true);
                }
            } else {
                spdlog::warn("Debug bundle generation failed (exit {})", result.exit_code);
                write_json(res, api_json::error_json("Debug bundle failed"), "500 Internal Server Error", true);
            }
            delete_named_archive(result);
        });
    };
    if (!enqueue_command(std::move(job))) answer_busy(res, true);
}

void application::api_debug_bundle_upload(const response_ptr& res, request& req) {
    const auto aborted = make_abort_guard(res);
    auto args = base_args_cli();
    args.insert(args.end(), {"debug", "bundle", "--upload-bundle"});
    if (want_anonymize(req)) args.emplace_back("--anonymize");
    dispatch_command(res, aborted, std::move(args), true, build_debug_upload_json, delete_named_archive);
}
