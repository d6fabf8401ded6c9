// A settings file is replaced atomically: a write that dies half-way leaves the old content.

#include "core/application.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string read_text(const fs::path& file) {
    return (std::stringstream() << std::ifstream(file, std::ios::binary).rdbuf()).str();
}

struct JsonFiles : ::testing::Test {
    fs::path dir = fs::temp_directory_path() / ("json_files_" + std::to_string(::getpid()));
    fs::path file = dir / "app.json";
    application app{"vantrel_vpn"};
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }
};

TEST_F(JsonFiles, FormatReadBackAndAFailedWriteKeepsThePreviousFile) {
    app.write_json_file(file, {{"mtu", 1400}, {"name", "caf\xc3\xa9"}, {"bad", "\xff"}});
    EXPECT_EQ(read_text(file), "{\n  \"bad\": \"\xef\xbf\xbd\",\n  \"mtu\": 1400,\n  \"name\": \"caf\xc3\xa9\"\n}\n");
    EXPECT_EQ(app.read_json_file(file)["mtu"], 1400);
    for (const std::string content : {"[1,2]", "{not json", "null", ""}) {
        std::ofstream(file) << content;
        EXPECT_EQ(app.read_json_file(file), nlohmann::json::object()) << content;
    }
    EXPECT_EQ(app.read_json_file(dir / "missing.json"), nlohmann::json::object());
    app.write_json_file(file, {{"mtu", 1400}});
    const std::string before = read_text(file);
    // A child process whose file-size limit makes the write fail half-way, as a full flash or a crash mid-write would.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{16, 16};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        app.write_json_file(file, {{"mtu", 1500}, {"padding", std::string(4096, 'x')}});
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(read_text(file), before);
    for (const auto& entry : fs::directory_iterator(dir)) EXPECT_EQ(entry.path().filename(), "app.json");
}

}  // namespace
