// The configuration store: up to 256 named text settings in memory, loaded from
// and stored to a file ("name = value" lines, ';' comments) or, on Windows, a
// registry key. Trace records at level 65, errors at level 5.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::uint16_t CONFIG_MODE_FILE = 0;
inline constexpr std::uint16_t CONFIG_MODE_ENVIRONMENT = 1;
inline constexpr std::uint16_t CONFIG_MODE_REGISTRY = 3;
inline constexpr int CONFIG_TABLE_SIZE = 256;
inline constexpr std::size_t CONFIG_NAME_SIZE = 256;

int CONFIG_Init(const char* name, std::uint16_t mode);
int CONFIG_Read();
// Copies the value of `varName` into `dest` (capacity `destCap`). A value that
// does not fit is refused: -1 and `dest` untouched.
int CONFIG_Get(const char* varName, char* dest, std::size_t destCap);
int CONFIG_Put(const char* varName, const char* varValue);
int CONFIG_Invalidate(const char* varName);
int CONFIG_Write();
int CONFIG_Exit();
