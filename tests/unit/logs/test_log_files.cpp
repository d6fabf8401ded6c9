// Which files a log request may name, and the order of the log list.

#include "logs/log_files.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class LogFiles : public ::testing::Test {
protected:
    void SetUp() override {
        data = fs::temp_directory_path() / ("log_files_" + std::to_string(::getpid()));
        logs = data / "logs";
        fs::create_directories(logs);
        for (const char* name : {"app_2025-01-30.log", "app_2025-01-31.log.gz", "netbird_2025-01-31.log",
                                 "app.log", "notes.txt", "app-2025-01-31.log"})
            touch(logs / name, name);
        for (const char* name : {"client.log", "client-2025-01-29.log.gz", "app.json", "app_2025-01-01.log"})
            touch(data / name, name);
        fs::create_directories(logs / "app_2025-02-01.log");  // a directory with a daily name
    }
    void TearDown() override { fs::remove_all(data); }

    static void touch(const fs::path& file, const std::string& content) { std::ofstream(file) << content; }

    fs::path data, logs;
};

}  // namespace

TEST_F(LogFiles, ListHoldsOnlyLogFilesNewestFirstAndResolveRefusesEverythingElse) {
    std::vector<std::string> listed;
    for (const auto& entry : log_files::list(data, logs)) {
        listed.push_back(std::string(entry.source) + ":" + entry.name);
        EXPECT_EQ(entry.size, entry.name.size());  // each file holds its own name
    }
    EXPECT_EQ(listed, (std::vector<std::string>{"app:app_2025-01-31.log.gz", "app:app_2025-01-30.log",
                                                "netbird:netbird_2025-01-31.log", "netbird:client.log",
                                                "netbird:client-2025-01-29.log.gz"}));
    EXPECT_TRUE(log_files::list(data / "missing", logs / "missing").empty());
    // What each family resolves to: test_logs_api.py downloads one file of each.
    const std::string long_name = "app_" + std::string(237, 'x') + "_2025-01-30.log";  // 256 bytes
    ASSERT_EQ(long_name.size(), 256u);
    const std::pair<const char*, std::string> refused[] = {
        {"app", "client.log"},            {"netbird", "app_2025-01-30.log"}, {"", "client.log"},
        {"APP", "app_2025-01-30.log"},    {"app", ""},                       {"app", long_name},
        {"app", "app_2025-02-01.log"},    // a directory
        {"app", "app_2025-03-01.log"},    // absent
        {"app", "app.log"},               {"app", "../app_2025-01-01.log"}, {"app", "app_..2025-01-30.log"},
        {"app", "x/app_2025-01-30.log"},  {"app", "x\\app_2025-01-30.log"}, {"app", "app\"_2025-01-30.log"},
        {"app", std::string("app_2025-01-30.log\0x", 20)}, {"app", "app_2025-01-30.log\n"},
        {"app", "app_2025-01-30.log\x7f"},
    };
    for (const auto& [source, name] : refused)
        EXPECT_FALSE(log_files::resolve(data, logs, source, name)) << source << " " << name;
}
