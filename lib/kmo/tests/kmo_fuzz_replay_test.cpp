// Replays the fuzz corpus through the fuzzer's invariant checks, so that every
// build covers the inputs kept there.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include <gtest/gtest.h>

#include "kmo_fuzz_check.h"

TEST(FuzzCorpus, EveryInputKeepsTheInvariants)
{
    namespace fs = std::filesystem;
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(KMO_FUZZ_CORPUS_DIR)) {
        if (!entry.is_regular_file()) {
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        const char* failure = kmo_FuzzCheck(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        EXPECT_EQ(failure, nullptr) << entry.path() << ": " << (failure ? failure : "");
        ++count;
    }
    EXPECT_GE(count, 10u);
}
