// Waiting for changes in a directory tree, with a time-out. One watch per process.
// Entry and exit records at level 65, everything else at level 5.
#pragma once

#include <cstdint>

// Change filter bits (the values of the original platform's notification kinds).
inline constexpr std::uint32_t FILE_NOTIFY_FILE_NAME = 0x1;
inline constexpr std::uint32_t FILE_NOTIFY_DIR_NAME = 0x2;
inline constexpr std::uint32_t FILE_NOTIFY_ATTRIBUTES = 0x4;
inline constexpr std::uint32_t FILE_NOTIFY_SIZE = 0x8;
inline constexpr std::uint32_t FILE_NOTIFY_LAST_WRITE = 0x10;
inline constexpr std::uint32_t FILE_NOTIFY_SECURITY = 0x100;
// A time-out with every bit set waits without limit.
inline constexpr std::uint32_t FILE_WAIT_INFINITE = 0xFFFFFFFFu;

// Starts watching `path` and its subdirectories and waits for the first change
// or the time-out. 0 (change or time-out), or -1 (the watch is not usable).
int FILE_DirWaitFirst(const char* path, std::uint32_t timeoutMs, std::uint32_t filter);
// Waits for the next change on the same watch. 0, or -1.
int FILE_DirWaitNext(std::uint32_t timeoutMs);
// Ends the watch. Non-zero when a watch was ended, 0 when there was none.
int FILE_DirWaitClose();
