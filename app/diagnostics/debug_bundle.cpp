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

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The daemon's temporary folder is the owner's alone: the archives hold logs
// and the network's layout.
constexpr mode_t TEMPORARY_DIR_MODE = 0700;

bool want_anonymize(const httpd::http_request& req) {
    const std::string value = req.get_query("anonymize");
    return value == "1" || value == "true";
}

// A bundle's archive opened for sending (the reader owns the descriptor).
struct opened_archive {
    std::optional<httpd::http_response::body_reader> body;
    std::uintmax_t size = 0;
};

// Makes the daemon's temporary folder when it is missing (a deregistration
// wipes it); anything else under its name, a link included, is replaced.
void prepare_temporary_dir(const fs::path& dir) {
    struct stat info {};
    if (::lstat(dir.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            if ((info.st_mode & 07777) != TEMPORARY_DIR_MODE) ::chmod(dir.c_str(), TEMPORARY_DIR_MODE);
            return;
        }
        std::error_code ignored;
        fs::remove(dir, ignored);
    }
    ::mkdir(dir.c_str(), TEMPORARY_DIR_MODE);
}

// Removes every NetBird debug archive from the daemon's temporary folder.
// NetBird's daemon writes the archive and uploads it before it answers, so a
// command killed at its limit, or one whose daemon died meanwhile, never
// names the file it leaves behind.
void sweep_archives(const fs::path& dir) {
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (!debug_bundle_output::is_archive_name(it->path().filename().string())) continue;
        std::error_code ignored;
        fs::remove(it->path(), ignored);
    }
}

// The bundle command with its folder made first, and swept on the worker once
// the loop has opened what it sends (no other command runs in between, so no
// archive in the making is taken away).
command_job bundle_job(command_job job, const fs::path& dir) {
    job.run = [dir, run = std::move(job.run)] {
        prepare_temporary_dir(dir);
        return run();
    };
    job.settle = [dir] { sweep_archives(dir); };
    job.no_store = true;
    return job;
}

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
    auto job = bundle_job(run_job(std::move(args)), m_data_dir / debug_bundle_output::TEMPORARY_DIR);
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
    auto job = bundle_job(run_job(std::move(args)), m_data_dir / debug_bundle_output::TEMPORARY_DIR);
    job.after = delete_named_archive;
    job.answer = [this](const response_ptr& res, const command_result& result) {
        write_json(res, build_debug_upload_json(result), "200 OK", true);
    };
    dispatch(res, aborted, std::move(job));
}
