// Win32 side of plat_registry.h: the registry under HKEY_LOCAL_MACHINE\Software.
#include "plat_registry.h"

#include <cstring>
#include <new>
#include <windows.h>

struct PLAT_RegKey {
    HKEY key = nullptr;
};

namespace {

// Read access plus the rights to set values and create subkeys.
constexpr REGSAM kKeyAccess = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;

PLAT_RegKey* reg_Wrap(HKEY key)
{
    auto* ref = new (std::nothrow) PLAT_RegKey;
    if (ref == nullptr) {
        RegCloseKey(key);
        return nullptr;
    }
    ref->key = key;
    return ref;
}

}  // namespace

int PLAT_RegAvailable()
{
    return 1;
}

PLAT_RegKey* PLAT_RegOpenSoftware()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, kKeyAccess, &key) != ERROR_SUCCESS) {
        return nullptr;
    }
    return reg_Wrap(key);
}

PLAT_RegKey* PLAT_RegCreateSubkey(PLAT_RegKey* parent, const char* path, int* created)
{
    if (parent == nullptr || path == nullptr) {
        return nullptr;
    }
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(parent->key, path, 0, nullptr, REG_OPTION_NON_VOLATILE, kKeyAccess, nullptr, &key,
                        &disposition) != ERROR_SUCCESS) {
        return nullptr;
    }
    if (created != nullptr) {
        *created = disposition == REG_CREATED_NEW_KEY ? 1 : 0;
    }
    return reg_Wrap(key);
}

int PLAT_RegValueCount(PLAT_RegKey* key, std::uint32_t* count)
{
    DWORD values = 0;
    if (key == nullptr || RegQueryInfoKeyA(key->key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                                           nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return -1;
    }
    *count = values;
    return 0;
}

int PLAT_RegEnumValue(PLAT_RegKey* key, std::uint32_t index, char* name, std::size_t nameCap, char* data,
                      std::size_t dataCap)
{
    if (key == nullptr || name == nullptr || data == nullptr || nameCap == 0 || dataCap < 2) {
        return -1;
    }
    DWORD nameLen = static_cast<DWORD>(nameCap);
    DWORD dataLen = static_cast<DWORD>(dataCap);
    DWORD type = 0;
    std::memset(data, 0, dataCap);
    const LONG rc = RegEnumValueA(key->key, index, name, &nameLen, nullptr, &type, reinterpret_cast<BYTE*>(data),
                                  &dataLen);
    if (rc == ERROR_NO_MORE_ITEMS) {
        return PLAT_REG_NO_MORE_ITEMS;
    }
    if (rc != ERROR_SUCCESS) {
        name[0] = '\0';
        data[0] = '\0';
        return -1;
    }
    // Data stored without its terminating zero must still leave room for one.
    if (dataLen >= dataCap && data[dataCap - 1] != '\0') {
        name[0] = '\0';
        data[0] = '\0';
        return -1;
    }
    name[nameLen < nameCap ? nameLen : nameCap - 1] = '\0';
    data[dataLen < dataCap ? dataLen : dataCap - 1] = '\0';
    return 0;
}

int PLAT_RegSetString(PLAT_RegKey* key, const char* name, const char* value)
{
    if (key == nullptr || name == nullptr || value == nullptr) {
        return -1;
    }
    const DWORD size = static_cast<DWORD>(std::strlen(value) + 1);
    return RegSetValueExA(key->key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), size) == ERROR_SUCCESS
               ? 0
               : -1;
}

int PLAT_RegDeleteValue(PLAT_RegKey* key, const char* name)
{
    if (key == nullptr || name == nullptr) {
        return -1;
    }
    return RegDeleteValueA(key->key, name) == ERROR_SUCCESS ? 0 : -1;
}

void PLAT_RegClose(PLAT_RegKey* key)
{
    if (key != nullptr) {
        RegCloseKey(key->key);
        delete key;
    }
}

int PLAT_RegDeleteSoftwareTree(const char* path)
{
    if (path == nullptr || path[0] == '\0') {
        return -1;
    }
    HKEY software = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_ALL_ACCESS, &software) != ERROR_SUCCESS) {
        return -1;
    }
    const LONG rc = RegDeleteTreeA(software, path);
    LONG rc2 = ERROR_SUCCESS;
    if (rc == ERROR_SUCCESS) {
        rc2 = RegDeleteKeyA(software, path);
    }
    RegCloseKey(software);
    return rc == ERROR_SUCCESS && (rc2 == ERROR_SUCCESS || rc2 == ERROR_FILE_NOT_FOUND) ? 0 : -1;
}
