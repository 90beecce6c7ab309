// Path conventions of the platform.
#pragma once

#if defined(_WIN32)
inline constexpr char PLAT_PATH_SEP = '\\';
#else
inline constexpr char PLAT_PATH_SEP = '/';
#endif

// True for a character that separates path components: the separator, and on
// Windows also '/', which the system takes as one.
inline constexpr bool PLAT_IsPathSep(char c)
{
#if defined(_WIN32)
    return c == '\\' || c == '/';
#else
    return c == '/';
#endif
}
