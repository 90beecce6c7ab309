// The user running the process, the platform's way.
#pragma once

#include <cstddef>

// Puts the name of the user running the process into `out` (capacity `cap`).
// Returns 0, or -1 when no name is available or it does not fit (then `out`
// holds the empty text).
int PLAT_UserName(char* out, std::size_t cap);
