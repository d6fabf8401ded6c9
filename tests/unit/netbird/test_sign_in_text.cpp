#include "netbird/sign_in_text.hpp"

#include <gtest/gtest.h>

#include <string>

using sign_in_text::find_link;
using sign_in_text::judge_end;
using found = sign_in_text::link;
using sign_in_text::outcome;

static const std::string LABEL = "Use this URL to log in:\n\n";

TEST(SignInText, FindsOnlyAWholePlainLinkAndItsCode) {
    EXPECT_EQ(find_link(LABEL + "https://idp.example/device?user_code=AB-CD \n\n"),
              (found{"https://idp.example/device?user_code=AB-CD", ""}));
    EXPECT_EQ(find_link(LABEL + "https://idp.example/device and enter the code AB-CD to authenticate.\n"),
              (found{"https://idp.example/device", "AB-CD"}));
    // NetBird's longer text (a browser could not be opened) says it in mid-sentence.
    EXPECT_EQ(find_link("Please do the SSO login in your browser. \nIf your browser didn't open automatically, "
                        "use this URL to log in:\n\nHTTP://idp.example/d \n"),
              (found{"HTTP://idp.example/d", ""}));
    // Not yet all there, not a link a page may show, or a code that is no code.
    EXPECT_FALSE(find_link(LABEL + "https://idp.example/dev"));
    EXPECT_FALSE(find_link("Connected\n"));
    for (const char* bad : {"javascript:alert(1)", "https://", "data:text/html,x", "//idp.example/x", "ftp://x/y"})
        EXPECT_FALSE(find_link(LABEL + bad + "\n")) << bad;
    EXPECT_EQ(find_link(LABEL + "https://x/\"onmouseover=alert(1)\n")->url, "https://x/");
    EXPECT_FALSE(find_link(LABEL + "https://x/" + std::string(sign_in_text::MAX_URL_LENGTH, 'a') + "\n"));
    EXPECT_EQ(find_link(LABEL + "https://x/ and enter the code <b>X</b> to authenticate.\n")->code, "");
    EXPECT_EQ(find_link(LABEL + "https://x/ and enter the code AB-CD\n")->code, "");
    const std::string waited = "Error: daemon up failed: sso login failed: waiting sso login failed with: rpc error: ";
    EXPECT_EQ(judge_end(0, "Connected\n"), outcome::connected);
    EXPECT_EQ(judge_end(1, waited + "code = DeadlineExceeded desc = context deadline exceeded"), outcome::expired);
    EXPECT_EQ(judge_end(1, waited + "code = Unknown desc = expired_token"), outcome::expired);
    EXPECT_EQ(judge_end(1, waited + "code = Unknown desc = access_denied"), outcome::refused);
    EXPECT_EQ(judge_end(1, waited + "code = Unavailable desc = transport is closing"), outcome::failed);
    EXPECT_EQ(judge_end(1, waited + "code = Canceled desc = context canceled"), outcome::failed);
    EXPECT_EQ(judge_end(1, "Error: failed to connect to daemon error: context deadline exceeded"), outcome::failed);
    EXPECT_STREQ(sign_in_text::name_of(outcome::refused), "refused");

    EXPECT_EQ(sign_in_text::without_secrets("at https://x/?c=AB-CD, code AB-CD AB-CD", found{"https://x/?c=AB-CD", "AB-CD"}),
              "at [sign-in link], code [code] [code]");
    EXPECT_EQ(sign_in_text::without_secrets("AB-CD", std::nullopt), "AB-CD");
}
