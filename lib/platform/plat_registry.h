// The system's settings registry (the Windows registry; none on POSIX, where
// every call fails). Keys are opened with read access and the rights to set
// values and create subkeys. Names and values are single-byte texts.
#pragma once

#include <cstddef>
#include <cstdint>

struct PLAT_RegKey;   // opaque; owned by whoever opened it

// 1 where the platform has a registry, else 0.
int PLAT_RegAvailable();

// Opens HKEY_LOCAL_MACHINE\Software. nullptr on failure.
PLAT_RegKey* PLAT_RegOpenSoftware();

// Creates (non-volatile) or opens the subkey `path` of `parent`; *created is 1
// when it was made now, 0 when it existed. nullptr on failure.
PLAT_RegKey* PLAT_RegCreateSubkey(PLAT_RegKey* parent, const char* path, int* created);

// The number of values of the key. 0, or -1.
int PLAT_RegValueCount(PLAT_RegKey* key, std::uint32_t* count);

inline constexpr int PLAT_REG_NO_MORE_ITEMS = 1;

// Reads the value at `index`: its name and its data (taken as text, always
// terminated). 0; PLAT_REG_NO_MORE_ITEMS past the last value; -1 on any other
// failure, a name or data longer than the buffers take included.
int PLAT_RegEnumValue(PLAT_RegKey* key, std::uint32_t index, char* name, std::size_t nameCap, char* data,
                      std::size_t dataCap);

// Sets the string value `name` to `value` (with its terminating zero). 0, or -1.
int PLAT_RegSetString(PLAT_RegKey* key, const char* name, const char* value);

// Deletes the value `name`. 0, or -1 (a value that does not exist included).
int PLAT_RegDeleteValue(PLAT_RegKey* key, const char* name);

// Closes the key and frees the reference. A null key is ignored.
void PLAT_RegClose(PLAT_RegKey* key);

// Deletes the subkey `path` of HKEY_LOCAL_MACHINE\Software with everything in
// it. 0, or -1. For installers and tests.
int PLAT_RegDeleteSoftwareTree(const char* path);
