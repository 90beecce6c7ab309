// The project's option parser, the same on every platform: what each call
// returns, the argument it hands over, the restart, and its diagnostics.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plat_proc.h"

namespace {

// Parses `words` (the program's name first) from the start and writes each
// result as "x" (an option), "x=ARG" (with its argument) or "?" / ":".
std::string Parse(std::vector<std::string> words, const char* optstring)
{
    std::vector<char*> argv;
    for (std::string& w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    PLAT_SetOptInd(0);
    std::string out;
    for (int c; (c = PLAT_GetOpt(static_cast<int>(words.size()), argv.data(), optstring)) != -1;) {
        out += out.empty() ? "" : " ";
        out += static_cast<char>(c);
        if (PLAT_OptArg() != nullptr) {
            out += "=" + std::string(PLAT_OptArg());
        }
    }
    return out;
}

TEST(GetOpt, ResultsForEveryShapeOfCommandLine)
{
    struct Case {
        std::vector<std::string> words;
        const char* expected;
    };
    const Case cases[] = {
        {{"p"}, ""},
        {{"p", "-n", "CLI1", "-r", "/pos"}, "n=CLI1 r=/pos"},
        {{"p", "-nCLI1"}, "n=CLI1"},                              // glued argument
        {{"p", "-ab", "-an", "X"}, "a b a n=X"},                  // grouped letters, the last takes the next word
        {{"p", "-n", "-r"}, "n=-r"},                              // an argument may look like an option
        {{"p", "x", "-a", "y", "-n", "N", "z"}, "a n=N"},         // words that are not options are passed over
        {{"p", "-", "-a"}, "a"},                                  // a lone '-' is such a word
        {{"p", "-a", "--", "-b"}, "a"},                           // "--" ends the options
        {{"p", "-x", "-a"}, "? a"},                               // an unknown letter, then the parsing goes on
        {{"p", "-a", "-n"}, "a ?"},                               // a missing argument
        {{"p", "-:"}, "?"},                                       // ':' is never an option
    };
    PLAT_SetOptErr(0);
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& w : c.words) {
            line += w + " ";
        }
        EXPECT_EQ(Parse(c.words, "abn:r:"), c.expected) << line;
    }
    // A leading ':' reports a missing argument as ':'.
    EXPECT_EQ(Parse({"p", "-n"}, ":n:"), ":");
    PLAT_SetOptErr(1);
}

TEST(GetOpt, IndexZeroStartsAfreshAndOneAtATimeKeepsThePlace)
{
    std::vector<std::string> words = {"p", "-ab", "-n", "N"};
    std::vector<char*> argv;
    for (std::string& w : words) {
        argv.push_back(w.data());
    }
    PLAT_SetOptInd(0);
    EXPECT_EQ(PLAT_GetOpt(4, argv.data(), "abn:"), 'a');
    EXPECT_EQ(PLAT_OptInd(), 1);   // still inside "-ab"
    EXPECT_EQ(PLAT_GetOpt(4, argv.data(), "abn:"), 'b');
    EXPECT_EQ(PLAT_OptInd(), 2);
    PLAT_SetOptInd(0);   // a second parse of the same line, as a second start-up does
    EXPECT_EQ(PLAT_GetOpt(4, argv.data(), "abn:"), 'a');
    EXPECT_EQ(PLAT_GetOpt(4, argv.data(), "abn:"), 'b');
    EXPECT_EQ(PLAT_GetOpt(4, argv.data(), "abn:"), 'n');
    EXPECT_STREQ(PLAT_OptArg(), "N");
    EXPECT_EQ(PLAT_OptInd(), 4);
    EXPECT_EQ(PLAT_GetOpt(4, argv.data(), "abn:"), -1);
}

TEST(GetOpt, DiagnosticsNameTheProgramAndTheLetter)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(Parse({"kmoclient", "-x", "-n"}, "n:"), "? ?");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "kmoclient: invalid option -- 'x'\n"
              "kmoclient: option requires an argument -- 'n'\n");

    PLAT_SetOptErr(0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Parse({"kmoclient", "-x"}, "n:"), "?");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    PLAT_SetOptErr(1);
}

}  // namespace
