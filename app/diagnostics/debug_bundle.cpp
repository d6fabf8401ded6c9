// NetBird debug bundles: download the archive, or have NetBird upload it and
// report the upload key. The archive never stays behind on the flash.

#include "core/application.hpp"

#include "api/api_json.hpp"
#include "http/file_body.hpp"
#include "logs/log_files.hpp"
#include "diagnostics/debug_bundle_output.hpp"

#include <spdlog/spdlog.h>

#include <ctime>
#include <memory>
#include <optional>
#include <utility>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

bool want_anonymize(const httpd::http_request& req) {
    const std::string value = req.get_query("anonymize");
    return value == "1" || value == "true";
}

// A bundle's archive opened for sending (the reader owns the descriptor).
struct opened_archive {
    std::optional<httpd::http_response::body_reader> body;
    std::uintmax_t size = 0;
};

void delete_named_archive(const command_result& result) {
    if (const auto archive = debug_bundle_output::local_path(result.stdout_data)) {
        std::error_code ignored;
        fs::remove(*archive, ignored);
    }
}

}  // namespace

std::string application::build_debug_upload_json(const command_result& result) {
    return api_json::compact({{"exit_code", result.exit_code},
                              {"key", debug_bundle_output::upload_key(result.stdout_data).value_or("")},
                              {"ok", result.exit_code == 0},
                              {"output", result.stdout_data + result.stderr_data}});
}

void application::api_debug_bundle(const response_ptr& res, request& req) {
    const auto aborted = make_abort_guard(res);
    auto args = base_args_cli();
    args.insert(args.end(), {"debug", "bundle"});
    if (want_anonymize(req)) args.emplace_back("--anonymize");
    // The archive is opened and deleted on the loop whatever became of the
    // client; the open descriptor keeps it readable until it is sent.
    auto archive = std::make_shared<opened_archive>();
    auto job = run_job(std::move(args));
    job.no_store = true;
    job.after = [archive](const command_result& result) {
        if (result.exit_code == 0)
            if (const auto path = debug_bundle_output::local_path(result.stdout_data)) {
                const int fd = log_files::open_regular(*path, archive->size);
                if (fd >= 0) archive->body = httpd::file_body(fd);
            }
        delete_named_archive(result);
    };
    job.answer = [this, archive](const response_ptr& res, const command_result& result) {
        if (result.exit_code != 0 || !debug_bundle_output::local_path(result.stdout_data)) {
            spdlog::warn("Debug bundle generation failed (exit {})", result.exit_code);
            write_json(res, api_json::error_json("Debug bundle failed"), "500 Internal Server Error", true);
            return;
        }
        if (!archive->body) {
            write_json(res, api_json::error_json("Could not read debug bundle"), "500 Internal Server Error", true);
            return;
        }
        res->write_status("200 OK");
        res->write_header("Content-Type", "application/zip");
        // Named after the device and the time: an installer collects them from many.
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        res->write_header("Content-Disposition", "attachment; filename=\"" +
                                                     debug_bundle_output::file_name(host, std::time(nullptr)) +
                                                     "\"");
        res->write_header("Cache-Control", "no-store");
        res->end_streamed(archive->size, std::move(*archive->body));
    };
    dispatch(res, aborted, std::move(job));
}

void application::api_debug_bundle_upload(const response_ptr& res, request& req) {
    const auto aborted = make_abort_guard(res);
    auto args = base_args_cli();
    args.insert(args.end(), {"debug", "bundle", "--upload-bundle"});
    if (want_anonymize(req)) args.emplace_back("--anonymize");
    auto job = run_job(std::move(args));
    job.no_store = true;
    job.after = delete_named_archive;
    job.answer = [this](const response_ptr& res, const command_result& result) {
        write_json(res, build_debug_upload_json(result), "200 OK", true);
    };
    dispatch(res, aborted, std::move(job));
}
