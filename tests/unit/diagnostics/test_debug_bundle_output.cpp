#include "diagnostics/debug_bundle_output.hpp"

#include <gtest/gtest.h>

using opt = std::optional<std::string>;

TEST(DebugBundleOutput, ArchivePathAndUploadKey) {
    const struct { const char* output; opt path; } paths[] = {
        {"Creating bundle\n\tLocal file: \r\n\t/tmp/a b.zip \r\ndone\n", "/tmp/a b.zip"},
        {"x\nLocal file:\n/tmp/b.zip", "/tmp/b.zip"}, {"Local file:\nLocal file:\n/x.zip", "/x.zip"},
        {"Local file:\n/a.zip\nLocal file:\n/b.zip\n", "/a.zip"}, {"Local file: /tmp/b.zip", std::nullopt},
        {"Local file:\ntmp/b.zip", std::nullopt}, {"Local file:\n/tmp/b.tar.gz", std::nullopt},
        {"Local file:\n\n/tmp/b.zip", std::nullopt}, {"Local file:\n.zip", std::nullopt},
        {"local file:\n/tmp/b.zip", std::nullopt}, {"/tmp/b.zip\nLocal file:", std::nullopt},
    };
    for (const auto& c : paths) EXPECT_EQ(debug_bundle_output::local_path(c.output), c.path) << c.output;
    const struct { const char* output; opt key; } keys[] = {
        {"Uploading\nUpload file key:\r\n\tK1 K2\r\nLocal file:\n/t.zip\n", "K1 K2"},
        {"Upload file key:\n\n", std::nullopt}, {"Upload file key:", std::nullopt},
        {"Upload file key:\n\nabc", std::nullopt}, {"Upload file key: abc", std::nullopt},
    };
    for (const auto& c : keys) EXPECT_EQ(debug_bundle_output::upload_key(c.output), c.key) << c.output;
    for (const char* name : {"netbird.debug.1.zip", "netbird.debug.a.b.zip"})
        EXPECT_TRUE(debug_bundle_output::is_archive_name(name)) << name;
    for (const char* name : {"netbird.debug.zip", "netbird.debug..zip.tmp", "x.zip", "netbird.debug.1.tar", ""})
        EXPECT_FALSE(debug_bundle_output::is_archive_name(name)) << name;
}
