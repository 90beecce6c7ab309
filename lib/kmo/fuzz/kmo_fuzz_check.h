// One fuzz input through every text and packet operation, with the invariants
// each must keep. Shared by the libFuzzer target and the corpus replay test.
#pragma once

#include <cstddef>
#include <cstdint>

// Input layout: byte 0 picks the small capacities, bytes 1 and 2 the
// acceptance class and the packet type; the rest is text NUL tag NUL value
// NUL name (a part that is missing is passed as null). The whole input is
// also fed to the packet parsers as raw bytes.
// Returns null when every invariant held, else a text naming the broken one.
const char* kmo_FuzzCheck(const std::uint8_t* data, std::size_t size);
