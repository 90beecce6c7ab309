// libFuzzer entry: every input goes through the shared invariant checks, and a
// broken invariant aborts so that the fuzzer keeps the input.
#include <cstdio>
#include <cstdlib>

#include "kmo_fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (const char* failure = kmo_FuzzCheck(data, size)) {
        std::fprintf(stderr, "kmo_fuzz: %s\n", failure);
        std::abort();
    }
    return 0;
}
