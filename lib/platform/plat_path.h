// Path conventions of the platform.
#pragma once

#if defined(_WIN32)
inline constexpr char PLAT_PATH_SEP = '\\';
#else
inline constexpr char PLAT_PATH_SEP = '/';
#endif
