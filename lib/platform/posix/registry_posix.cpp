// POSIX side of plat_registry.h: there is no registry, every call fails.
#include "plat_registry.h"

int PLAT_RegAvailable()
{
    return 0;
}

PLAT_RegKey* PLAT_RegOpenSoftware()
{
    return nullptr;
}

PLAT_RegKey* PLAT_RegCreateSubkey(PLAT_RegKey*, const char*, int*)
{
    return nullptr;
}

int PLAT_RegValueCount(PLAT_RegKey*, std::uint32_t*)
{
    return -1;
}

int PLAT_RegEnumValue(PLAT_RegKey*, std::uint32_t, char*, std::size_t, char*, std::size_t)
{
    return -1;
}

int PLAT_RegSetString(PLAT_RegKey*, const char*, const char*)
{
    return -1;
}

int PLAT_RegDeleteValue(PLAT_RegKey*, const char*)
{
    return -1;
}

void PLAT_RegClose(PLAT_RegKey*) {}

int PLAT_RegDeleteSoftwareTree(const char*)
{
    return -1;
}
