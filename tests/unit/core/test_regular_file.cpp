// What is planted under a data file's name is refused at once, never waited on or followed.

#include "core/regular_file.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using regular_file::refusal;

TEST(RegularFile, OpensOnlyARegularFileAndNeverWaits) {
    const fs::path dir = fs::temp_directory_path() / ("regular_file_" + std::to_string(::getpid()));
    fs::create_directories(dir / "directory");
    std::ofstream(dir / "regular") << "0123456789";
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    fs::create_symlink(dir / "regular", dir / "link");
    fs::create_symlink(dir / "pipe", dir / "link_to_pipe");
    // No other end of the pipe ever opens: a blocking open would hang the test.
    for (const int flags : {O_RDONLY, O_RDWR, O_WRONLY | O_APPEND | O_CREAT})
        for (const auto& [name, why] : {std::pair("pipe", refusal::not_regular), {"directory", refusal::not_regular},
                                        {"link", refusal::link}, {"link_to_pipe", refusal::link}})
            EXPECT_EQ(regular_file::open(dir / name, flags, 0644).why, why) << name << " " << flags;
    const auto opened = regular_file::open(dir / "regular", O_RDONLY);
    EXPECT_TRUE(opened.fd >= 0 && opened.size == 10u && ::close(opened.fd) == 0);
    EXPECT_EQ(regular_file::read(dir / "regular", 10).text, "0123456789");
    EXPECT_EQ(regular_file::read(dir / "regular", 9).why, refusal::too_large);
    EXPECT_EQ(regular_file::read(dir / "missing", 9).why, refusal::missing);
    EXPECT_EQ(regular_file::read(dir / "link_to_pipe", 9).why, refusal::link);
    fs::remove_all(dir);
}
