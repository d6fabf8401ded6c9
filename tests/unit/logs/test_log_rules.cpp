#include "core/application.hpp"
#include "logs/daily_file_sink.hpp"
#include "logs/gzip_file.hpp"
#include "logs/log_maintenance.hpp"
#include "logs/log_utils.hpp"
#include "logs/storage_utils.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <vector>

namespace fs = std::filesystem;
namespace lm = log_maintenance;

namespace {

// Switches the process's local time zone for one test and restores it.
struct scoped_tz {
    std::optional<std::string> saved;
    explicit scoped_tz(const char* zone) {
        if (const char* old = std::getenv("TZ")) saved = old;
        setenv("TZ", zone, 1), tzset();
    }
    ~scoped_tz() { saved ? setenv("TZ", saved->c_str(), 1) : unsetenv("TZ"), tzset(); }
};

// A local time as local_now() hands it over: normalised by mktime.
std::tm local_time(const int (&v)[5]) {
    std::tm t{};
    t.tm_year = v[0] - 1900, t.tm_mon = v[1] - 1, t.tm_mday = v[2], t.tm_hour = v[3], t.tm_min = v[4];
    t.tm_isdst = -1, std::mktime(&t);
    return t;
}

void write_file(const fs::path& path, const std::string& content) { std::ofstream(path, std::ios::binary) << content; }

void set_mtime(const fs::path& path, std::time_t when) {
    const timespec times[2] = {{when, 0}, {when, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

std::string date_of(std::time_t t) {
    std::tm local{};
    return *lm::format_date(*localtime_r(&t, &local));
}

std::string read_file(const fs::path& path) {
    return {std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {}};
}

// Content of a real gzip file; nothing for a plain file, which zlib would otherwise pass through.
std::optional<std::string> gunzip(const fs::path& path) {
    gzFile in = gzopen(path.c_str(), "rb");
    if (in == nullptr) return std::nullopt;
    std::string out;
    char buffer[4096];
    int got;
    while ((got = gzread(in, buffer, sizeof buffer)) > 0) out.append(buffer, got);
    const bool plain = gzdirect(in) == 1;
    if (gzclose(in) != Z_OK || got < 0 || plain || read_file(path).substr(0, 2) != "\x1f\x8b") return std::nullopt;
    return out;
}

struct temp_dir {
    fs::path path = fs::temp_directory_path() / ("vv_unit_" + std::to_string(::getpid()) + "_" +
                                                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    temp_dir() { fs::remove_all(path), fs::create_directories(path); }
    ~temp_dir() { fs::remove_all(path); }
};

}  // namespace

// Family: 'a' app daily, 'n' netbird daily, 'c' NetBird's own log, '-' none.
TEST(LogNames, DailyDateFamiliesAndTheRetentionCutoff) {
    const struct { const char* name; const char* date; char family; } cases[] = {
        {"app_2025-01-31.log", "2025-01-31", 'a'}, {"app_2025-01-31.log.gz", "2025-01-31", 'a'},
        {"netbird_2025-01-31.log.gz", "2025-01-31", 'n'}, {"netbird_2025-01-31.log", "2025-01-31", 'n'},
        {"other_2025-13-99.log", "2025-13-99", '-'},  // only the shape is checked
        {"_2025-01-31.log", "2025-01-31", '-'},     {"app-2025-01-31.log", nullptr, '-'},
        {"app_2025-01-31.txt", nullptr, '-'},       {"app_2025-1-31.log", nullptr, '-'},
        {"app_2025-01-1.log", nullptr, '-'},        {"app_2025-01-31.log.gz.tmp", nullptr, '-'},
        {"app_2025_01_31.log", nullptr, '-'},       {"app.log", nullptr, '-'},
        {".gz", nullptr, '-'},                      {"client.log", nullptr, 'c'},
        {"client-2025-01-29.log.gz", nullptr, 'c'}, {"client-.log.gz", nullptr, 'c'},
        {"client.log.gz", nullptr, '-'},            {"client-2025-01-29.log", nullptr, '-'},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);  // one trace for the four checks
        EXPECT_EQ(log_utils::daily_log_date(c.name), c.date ? std::optional<std::string>(c.date) : std::nullopt);
        EXPECT_EQ(log_utils::is_app_log_name(c.name), c.family == 'a');
        EXPECT_EQ(log_utils::is_netbird_daily_name(c.name), c.family == 'n');
        EXPECT_EQ(log_utils::is_netbird_log_name(c.name), c.family == 'c');
    }
    // After a 23- or 25-hour day (Berlin), subtracting whole days of seconds from midnight would miss the date.
    const struct { const char* zone; int now[5]; int days; const char* expected; } cutoffs[] = {
        {"UTC", {2025, 3, 31, 0, 30}, 7, "2025-03-25"},   {"UTC", {2025, 3, 31, 23, 59}, 1, "2025-03-31"},
        {"UTC", {2025, 3, 31, 0, 30}, 0, "2025-03-31"},   {"UTC", {2025, 3, 31, 0, 30}, -3, "2025-03-31"},
        {"UTC", {2025, 3, 3, 8, 0}, 7, "2025-02-25"},     {"UTC", {2024, 3, 1, 8, 0}, 2, "2024-02-29"},
        {"UTC", {2025, 1, 1, 0, 0}, 2, "2024-12-31"},     {"UTC", {2025, 3, 31, 0, 30}, 365, "2024-04-01"},
        {"Europe/Berlin", {2025, 3, 31, 0, 30}, 2, "2025-03-30"},
        {"Europe/Berlin", {2025, 10, 27, 0, 30}, 2, "2025-10-26"},
        {"Europe/Berlin", {2025, 3, 30, 3, 30}, 1, "2025-03-30"},
    };
    for (const auto& c : cutoffs) {
        SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.days) + " days to " + c.expected);
        scoped_tz tz(c.zone);
        EXPECT_EQ(lm::retention_cutoff(local_time(c.now), c.days), std::optional<std::string>(c.expected));
    }
}

TEST(LogMaintenance, PrunesOldDaysAndCompressesFinishedOnes) {
    temp_dir dir;
    std::string big;  // over the 64 KiB buffer, so several reads are needed
    for (int i = 0; big.size() < 200000; ++i) big += "[12:00:00.000] [I] line " + std::to_string(i * 7919) + "\n";
    const std::map<std::string, std::string> files = {
        {"app_2025-03-31.log", "today app\n"},       {"netbird_2025-03-31.log", "today nb\n"},
        {"app_2025-03-30.log", big},                 {"netbird_2025-03-30.log", "yesterday nb\n"},
        {"app_2025-03-30.log.gz.tmp", "leftover"},   {"netbird_2025-03-30.log.gz", "stale target"},
        {"app_2025-03-25.log.gz", "cut-off day"},    {"app_2025-03-24.log", "old"},
        {"netbird_2025-03-19.log.gz", "old gz"},     {"other_2025-03-01.log", "old other"},
        {"other_2025-03-30.log", "recent other"},    {"app-2025-03-01.log", "x"},
        {"client.log", "live"},                      {"client-2025-03-01.log.gz", "rotated"},
    };
    for (const auto& [name, content] : files) write_file(dir.path / name, content);
    fs::create_directory(dir.path / "app_2025-03-02.log");  // not a regular file
    write_file(dir.path / "secret", "secret");
    fs::create_symlink(dir.path / "secret", dir.path / "netbird_2025-03-28.log");  // a planted link

    lm::prune_daily_logs(dir.path, "2025-03-25", "2025-03-31");
    lm::compress_daily_logs(dir.path, "2025-03-31");

    for (const char* gone : {"app_2025-03-24.log", "netbird_2025-03-19.log.gz", "other_2025-03-01.log",
                             "app_2025-03-30.log", "netbird_2025-03-30.log", "app_2025-03-30.log.gz.tmp",
                             "netbird_2025-03-30.log.gz.tmp", "app_2025-03-31.log.gz", "other_2025-03-30.log.gz"})
        EXPECT_FALSE(fs::exists(dir.path / gone)) << gone;
    for (const char* kept : {"app_2025-03-31.log", "netbird_2025-03-31.log", "app_2025-03-25.log.gz",
                             "other_2025-03-30.log", "app-2025-03-01.log", "client.log", "client-2025-03-01.log.gz"})
        EXPECT_EQ(read_file(dir.path / kept), files.at(kept)) << kept;
    EXPECT_TRUE(fs::is_directory(dir.path / "app_2025-03-02.log"));
    EXPECT_FALSE(fs::exists(dir.path / "netbird_2025-03-28.log.gz"));  // never compressed into a real file
    EXPECT_EQ(gunzip(dir.path / "app_2025-03-30.log.gz"), big);
    EXPECT_EQ(gunzip(dir.path / "netbird_2025-03-30.log.gz"), std::optional<std::string>("yesterday nb\n"));

    // An empty day still gives a valid archive; a failed compression leaves nothing.
    write_file(dir.path / "empty", "");
    ASSERT_TRUE(log_compression::gzip_file(dir.path / "empty", dir.path / "empty.gz"));
    EXPECT_EQ(gunzip(dir.path / "empty.gz"), std::optional<std::string>(""));
    EXPECT_FALSE(log_compression::gzip_file(dir.path / "missing", dir.path / "missing.gz") ||
                 fs::exists(dir.path / "missing.gz"));
    EXPECT_FALSE(log_compression::gzip_file(dir.path / "empty", dir.path / "no/such/dir.gz"));
}

// Logs dated by an unset clock (impossible date) or one ahead (future) are not deleted for their date, yet still age.
TEST(LogMaintenance, FilesDatedByAWrongClockAgeFromWhenTheyAreFound) {
    EXPECT_EQ(lm::counted_date("2025-03-20", "2025-03-21", "2025-03-31"), "2025-03-20");
    EXPECT_EQ(lm::counted_date("1970-01-01", "2025-03-30", "2025-03-31"), "2025-03-30");
    EXPECT_EQ(lm::counted_date("2099-01-01", "2025-03-29", "2025-03-31"), "2025-03-29");

    temp_dir dir;
    const auto today = *lm::format_date(*lm::local_now());
    const auto days_ago = [](int days) {
        const std::time_t t = std::time(nullptr) - days * 86400;
        return std::pair<std::time_t, std::string>(t, date_of(t));
    };
    const std::string old = "app_" + days_ago(40).second + ".log";
    for (const auto& name : {std::string("app_1970-01-02.log"), std::string("netbird_2099-01-01.log"), old})
        write_file(dir.path / name, name);
    set_mtime(dir.path / "app_1970-01-02.log", 86400);           // written by the unset clock
    set_mtime(dir.path / "netbird_2099-01-01.log", 4070908800);  // and by one that was ahead
    lm::prune_daily_logs(dir.path, days_ago(29).second, today);
    lm::compress_daily_logs(dir.path, today);
    EXPECT_FALSE(fs::exists(dir.path / old));
    EXPECT_EQ(gunzip(dir.path / "app_1970-01-02.log.gz"), std::optional<std::string>("app_1970-01-02.log"));
    EXPECT_EQ(gunzip(dir.path / "netbird_2099-01-01.log.gz"), std::optional<std::string>("netbird_2099-01-01.log"));

    // Found 40 days ago: past the retention now.
    for (const char* gz : {"app_1970-01-02.log.gz", "netbird_2099-01-01.log.gz"}) set_mtime(dir.path / gz, days_ago(40).first);
    lm::prune_daily_logs(dir.path, days_ago(29).second, today);
    EXPECT_TRUE(fs::is_empty(dir.path));
    // More of an archived day joins its archive; the plain file an archive was made from (cut short) just goes.
    write_file(dir.path / "app_2025-03-20.log", "morning\n");
    ASSERT_TRUE(log_compression::gzip_file(dir.path / "app_2025-03-20.log", dir.path / "app_2025-03-20.log.gz"));
    write_file(dir.path / "app_2025-03-20.log", "afternoon\n");
    set_mtime(dir.path / "app_2025-03-20.log.gz", 1742400000);
    write_file(dir.path / "app_2025-03-21.log", "once\n");
    ASSERT_TRUE(log_compression::gzip_file(dir.path / "app_2025-03-21.log", dir.path / "app_2025-03-21.log.gz"));
    set_mtime(dir.path / "app_2025-03-21.log", 1742400000);
    lm::compress_daily_logs(dir.path, "2025-03-31");
    EXPECT_EQ(gunzip(dir.path / "app_2025-03-20.log.gz"), std::optional<std::string>("morning\nafternoon\n"));
    EXPECT_EQ(gunzip(dir.path / "app_2025-03-21.log.gz"), std::optional<std::string>("once\n"));
    EXPECT_FALSE(fs::exists(dir.path / "app_2025-03-20.log") || fs::exists(dir.path / "app_2025-03-21.log"));

    // A camera that never got its time (1970): its names still age.
    write_file(dir.path / "app_1970-01-01.log", "old");
    write_file(dir.path / "app_1970-01-05.log", "today");
    lm::prune_daily_logs(dir.path, "1970-01-03", "1970-01-05");
    EXPECT_TRUE(!fs::exists(dir.path / "app_1970-01-01.log") && fs::exists(dir.path / "app_1970-01-05.log"));
}

TEST(StorageAndHeartbeat, UsedPercentRoundsHalfUpAndTheHeartbeatPrunesByTheRetention) {
    const struct { std::uintmax_t capacity, available; std::int64_t expected; } cases[] = {
        {1000, 994, 1}, {1000, 995, 1}, {1000, 996, 0}, {0, 0, 0}, {1000, 2000, 0}, {1000, 0, 100}};
    for (const auto& c : cases)
        EXPECT_EQ(storage_utils::used_percent(c.capacity, c.available), c.expected) << c.available;
    // The unit-test binary's own application directory stands in for the camera's.
    application app{"vantrel_vpn"};
    const fs::path logs = fs::read_symlink("/proc/self/exe").parent_path() / "localdata" / "logs";
    fs::create_directories(logs);
    const auto today = lm::format_date(*lm::local_now());
    write_file(logs / "app_2025-01-01.log.gz", "long ago");
    write_file(logs / ("app_" + *today + ".log"), "today");
    app.log_heartbeat(true);
    EXPECT_FALSE(fs::exists(logs / "app_2025-01-01.log.gz"));
    EXPECT_TRUE(fs::exists(logs / ("app_" + *today + ".log")));
    fs::remove_all(logs.parent_path());
}

// A clock set while running (booted without the time, or was ahead): what it wrote ends up under the corrected date.
TEST(DailyFileSink, WhatAWrongClockWroteIsDatedAgainWhenItIsSet) {
    temp_dir dir;
    using spdlog::log_clock;
    const auto now = log_clock::now();
    const auto record = [](daily_file_sink& sink, log_clock::time_point when, const char* text) {
        sink.log(spdlog::details::log_msg(when, spdlog::source_loc{}, "", spdlog::level::info, text));
    };
    const std::string today = "app_" + date_of(log_clock::to_time_t(now)) + ".log";
    {
        daily_file_sink sink(dir.path, "app", "%v");
        record(sink, now, "before");
        record(sink, log_clock::from_time_t(946641600), "unset clock");  // 1999-12-31: the wrong one
        EXPECT_TRUE(fs::exists(dir.path / "app_1999-12-31.log"));
        record(sink, now, "set");
        record(sink, now + std::chrono::hours(24 * 40), "ahead");
        record(sink, now, "set back");
    }
    EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(dir.path), {}), std::vector<fs::path>{dir.path / today});
    EXPECT_EQ(read_file(dir.path / today), "before\nunset clock\nset\nahead\nset back\n");
}
