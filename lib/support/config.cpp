// The configuration store: a table of 256 named settings, loaded from and stored
// to a text file or a registry key. The module owns every name and value it
// holds and frees them in CONFIG_Exit. The environment mode is recognised but
// not implemented; the registry mode needs the system's registry and, where
// there is none, fails like an unknown mode.
#include "config.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string_view>

#include "log.h"
#include "plat_registry.h"
#include "plat_time.h"
#include "plat_user.h"

namespace {

constexpr int kConfigTrace = 65;
constexpr int kConfigError = 5;

// Lines are read in pieces of at most 254 characters, into a 256-byte buffer.
constexpr std::size_t kLineSize = 256;
constexpr int kLineRead = 255;
constexpr std::size_t kLineMax = kLineRead - 1;
constexpr std::size_t kUserNameSize = 257;
// Registry names and values of up to 255 characters.
constexpr std::size_t kRegTextSize = 256;

// The descriptors of the configuration file are not inherited by child processes.
#if defined(_WIN32)
constexpr const char* kReadMode = "rN";
constexpr const char* kWriteMode = "wN";
#else
constexpr const char* kReadMode = "re";
constexpr const char* kWriteMode = "we";
#endif

struct ConfigSlot {
    std::unique_ptr<char[]> name;    // null: the slot is free
    std::unique_ptr<char[]> value;
    std::uint16_t invalid = 1;       // 0 only while the slot holds a complete entry
};

struct ConfigState {
    std::uint16_t mode = CONFIG_MODE_FILE;
    std::array<char, CONFIG_NAME_SIZE> name{};
    std::FILE* file = nullptr;       // file mode: the file while it is open for reading
    PLAT_RegKey* softwareKey = nullptr;   // registry mode: HKEY_LOCAL_MACHINE\Software
    PLAT_RegKey* configKey = nullptr;     // registry mode: the configuration's key under it
    std::array<ConfigSlot, CONFIG_TABLE_SIZE> table;
};

ConfigState g_cfg;

const char* config_Text(const char* s)
{
    return s != nullptr ? s : "";
}

// A heap copy of `text`, or null when no storage could be obtained.
std::unique_ptr<char[]> config_Dup(std::string_view text)
{
    std::unique_ptr<char[]> copy(new (std::nothrow) char[text.size() + 1]);
    if (copy) {
        if (!text.empty()) {   // an empty view may have no data pointer at all
            std::memcpy(copy.get(), text.data(), text.size());
        }
        copy[text.size()] = '\0';
    }
    return copy;
}

// Blanks only: a tab is part of the text.
std::string_view config_Trim(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

void config_CloseFile()
{
    if (g_cfg.file != nullptr) {
        std::fclose(g_cfg.file);
        g_cfg.file = nullptr;
    }
}

void config_CloseKeys()
{
    PLAT_RegClose(g_cfg.configKey);
    g_cfg.configKey = nullptr;
    PLAT_RegClose(g_cfg.softwareKey);
    g_cfg.softwareKey = nullptr;
}

// The registry mode exists only where the platform has a registry.
bool config_IsRegistryMode()
{
    return g_cfg.mode == CONFIG_MODE_REGISTRY && PLAT_RegAvailable() != 0;
}

void config_ClearTable()
{
    for (ConfigSlot& slot : g_cfg.table) {
        slot.name.reset();
        slot.value.reset();
        slot.invalid = 1;
    }
}

// An entry that the file format cannot carry: it would read back as another
// name or value, or spill into lines of its own.
bool config_FitsFileLine(const char* name, const char* value)
{
    const std::string_view n(name);
    const std::string_view v(value);
    if (n.find_first_of("=\r\n") != std::string_view::npos || v.find_first_of("\r\n") != std::string_view::npos) {
        return false;
    }
    if (!n.empty() && n.front() == ';') {
        return false;
    }
    return n.size() + 3 + v.size() <= kLineMax;
}

// Reads the next line of the open file into `line`, without its line end
// (LF, or CR LF of a file carried over from Windows). A line longer than the
// buffer takes is cut, and the rest of it is skipped, flagged in *cut. A NUL
// byte ends the line's text but not the line: the reading goes on to its line
// end, so the next line is never lost. A last line without a line end (a file
// edited by hand) is a line like any other, not dropped. Returns false at the
// end of the file or on a read error (std::ferror tells which).
bool config_ReadLine(char (&line)[kLineSize], bool* cut)
{
    *cut = false;
    std::size_t len = 0;
    bool ended = false;   // a NUL byte was met: the rest of the line is dropped
    bool any = false;
    int c;
    while ((c = std::fgetc(g_cfg.file)) != EOF) {
        any = true;
        if (c == '\n') {
            break;
        }
        if (c == '\0') {
            ended = true;
        }
        if (ended) {
            continue;
        }
        if (len < kLineMax) {
            line[len++] = static_cast<char>(c);
        } else if (c != '\r') {
            *cut = true;
        }
    }
    line[len] = '\0';
    if (!any || std::ferror(g_cfg.file) != 0) {
        return false;
    }
    if (len > 0 && line[len - 1] == '\r') {
        line[len - 1] = '\0';
    }
    return true;
}

int config_ReadFile()
{
    if (g_cfg.file == nullptr) {
        return 0;
    }
    int ret = 0;
    LOG_Write(kConfigTrace, "CONFIG_Read va a leer de archivo abierto");
    int slot = 0;
    char line[kLineSize];
    bool cut = false;
    while (config_ReadLine(line, &cut)) {
        LOG_Write(kConfigTrace, "CONFIG_Read leyo linea=[%s]", line);
        if (line[0] == ';') {
            continue;
        }
        if (cut) {
            LOG_Write(kConfigError, "CONFIG_Read linea de mas de %d caracteres, se toman los primeros",
                      static_cast<int>(kLineMax));
        }
        const char* eq = std::strchr(line, '=');
        int freeSlot = -1;
        for (int i = slot; i < CONFIG_TABLE_SIZE; ++i) {
            if (!g_cfg.table[i].name) {
                freeSlot = i;
                break;
            }
        }
        if (freeSlot < 0) {
            // A line with nothing to store needs no room.
            if (eq != nullptr) {
                LOG_Write(kConfigError, "CONFIG_Read sin espacio en estructura");
                ret = -1;
            }
            continue;
        }
        slot = freeSlot;
        LOG_Write(kConfigTrace, "CONFIG_Read encontro slot [%d] libre para almacenar valor", slot);
        if (eq == nullptr) {
            continue;
        }
        const std::string_view text(line);
        const std::size_t at = static_cast<std::size_t>(eq - line);
        const std::string_view name = config_Trim(text.substr(0, at));
        const std::string_view value = config_Trim(text.substr(at + 1));
        ConfigSlot& s = g_cfg.table[slot];
        s.name = config_Dup(name);
        if (!s.name) {
            continue;
        }
        LOG_Write(kConfigTrace, "CONFIG_Read aloco VarName");
        s.value = config_Dup(value);
        if (!s.value) {
            continue;   // the name stays, the entry stays incomplete
        }
        LOG_Write(kConfigTrace, "CONFIG_Read aloco VarValue");
        LOG_Write(kConfigTrace, "CONFIG_Read va a copiar valores");
        LOG_Write(kConfigTrace, "CONFIG_Read VarName=[%s]", s.name.get());
        s.invalid = 0;
        LOG_Write(kConfigTrace, "CONFIG_Read VarValue=[%s]", s.value.get());
        ++slot;
    }
    if (std::ferror(g_cfg.file) != 0) {
        LOG_Write(kConfigError, "CONFIG_Read leyendo archivo de configuracion: %s", std::strerror(errno));
        ret = -1;
    }
    LOG_Write(kConfigTrace, "CONFIG_Read va a cerrar archivo de configuracion");
    config_CloseFile();
    return ret;
}

int config_WriteFile(std::time_t now)
{
    config_CloseFile();
    LOG_Write(kConfigTrace, "CONFIG_Write va a abrir archivo para escritura");
    std::FILE* f = std::fopen(g_cfg.name.data(), kWriteMode);
    if (f == nullptr) {
        LOG_Write(kConfigError, "CONFIG_Write abriendo archivo para escritura");
        return -1;
    }
    int ret = 0;
    LOG_Write(kConfigTrace, "CONFIG_Write abrio archivo para escritura OK");
    std::fprintf(f, ";Archivo de configuracion %s generado automaticamente\n", g_cfg.name.data());
    char user[kUserNameSize] = {};
    if (PLAT_UserName(user, sizeof user) == 0) {
        std::fprintf(f, ";Creado por %s\n", user);
    }
    std::tm local{};
    PLAT_LocalTime(now, &local);
    char stamp[20] = {};
    std::strftime(stamp, sizeof stamp, "%d/%m/%Y %H:%M:%S", &local);
    std::fprintf(f, ";%s\n", stamp);
    std::fprintf(f, ";\n\n");
    std::fflush(f);
    for (const ConfigSlot& slot : g_cfg.table) {
        if (!slot.name) {
            break;
        }
        if (slot.invalid != 0) {
            continue;
        }
        if (!config_FitsFileLine(slot.name.get(), slot.value.get())) {
            LOG_Write(kConfigError, "CONFIG_Write no se puede escribir en archivo %s = %s", slot.name.get(),
                      slot.value.get());
            ret = -1;
            continue;
        }
        LOG_Write(kConfigTrace, "CONFIG_Write escribiendo %s = %s", slot.name.get(), slot.value.get());
        std::fprintf(f, "%s = %s\n\n", slot.name.get(), slot.value.get());
        std::fflush(f);
    }
    std::fprintf(f, ";Fin de archivo de configuracion %s\n", g_cfg.name.data());
    std::fflush(f);
    const bool writeFailed = std::ferror(f) != 0;
    if (std::fclose(f) != 0 || writeFailed) {
        LOG_Write(kConfigError, "CONFIG_Write escribiendo archivo de configuracion");
        ret = -1;
    }
    LOG_Write(kConfigTrace, "CONFIG_Write cerro archivo de configuracion");
    g_cfg.file = std::fopen(g_cfg.name.data(), kReadMode);
    if (g_cfg.file != nullptr) {
        LOG_Write(kConfigTrace, "CONFIG_Write reabrio archivo para lectura OK");
    } else {
        LOG_Write(kConfigError, "CONFIG_Write reabriendo archivo para lectura");
        ret = -1;
    }
    return ret;
}

int config_OpenRegistry()
{
    LOG_Write(kConfigTrace, "CONFIG_Init va a intentar abrir seccion de registry");
    g_cfg.softwareKey = PLAT_RegOpenSoftware();
    if (g_cfg.softwareKey == nullptr) {
        LOG_Write(kConfigError, "CONFIG_Init intentando abrir seccion de registry");
        return -1;
    }
    int created = 0;
    g_cfg.configKey = PLAT_RegCreateSubkey(g_cfg.softwareKey, g_cfg.name.data(), &created);
    if (g_cfg.configKey == nullptr) {
        return -1;
    }
    LOG_Write(kConfigTrace, "CONFIG_Init configKey %s exitosamente", created != 0 ? "creada" : "abierta");
    return 0;
}

// Refills the table from slot 0 in the registry's order. A key with more
// values than the table has slots fills the table and fails.
int config_ReadRegistry()
{
    std::uint32_t count = 0;
    if (g_cfg.configKey == nullptr || PLAT_RegValueCount(g_cfg.configKey, &count) != 0 || count == 0) {
        return -1;
    }
    int ret = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (i >= static_cast<std::uint32_t>(CONFIG_TABLE_SIZE)) {
            ret = -1;
            break;
        }
        char name[kRegTextSize] = {};
        char data[kRegTextSize] = {};
        const int rc = PLAT_RegEnumValue(g_cfg.configKey, i, name, sizeof name, data, sizeof data);
        if (rc == PLAT_REG_NO_MORE_ITEMS) {
            break;
        }
        if (rc != 0) {
            ret = -1;
            break;
        }
        ConfigSlot& slot = g_cfg.table[i];
        slot.name = config_Dup(name);
        slot.value = config_Dup(data);
        slot.invalid = slot.name && slot.value ? 0 : 1;
    }
    return ret;
}

// Sets every complete entry as a string value and deletes the values of the
// invalidated ones; the first failure ends the walk.
int config_WriteRegistry()
{
    if (g_cfg.configKey == nullptr) {
        return -1;
    }
    for (const ConfigSlot& slot : g_cfg.table) {
        if (!slot.name) {
            break;
        }
        const int rc = slot.invalid == 0 ? PLAT_RegSetString(g_cfg.configKey, slot.name.get(), slot.value.get())
                                         : PLAT_RegDeleteValue(g_cfg.configKey, slot.name.get());
        if (rc != 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace

int CONFIG_Init(const char* name, std::uint16_t mode)
{
    LOG_Write(kConfigTrace, "CONFIG_Init Entry");
    int ret = -1;
    // A store initialised again without CONFIG_Exit lets go of what it held.
    config_CloseFile();
    config_CloseKeys();
    config_ClearTable();
    LOG_Write(kConfigTrace, "CONFIG_Init inicializo estructura");
    g_cfg.name.fill('\0');
    const std::size_t len = name != nullptr ? std::strlen(name) : 0;
    if (len >= CONFIG_NAME_SIZE) {
        LOG_Write(kConfigError, "CONFIG_Init nombre de configuracion de %zu caracteres, el maximo es %zu", len,
                  CONFIG_NAME_SIZE - 1);
    } else {
        std::memcpy(g_cfg.name.data(), config_Text(name), len);
        LOG_Write(kConfigTrace, "CONFIG_Init asigno nombre de configuracion");
    }
    g_cfg.mode = mode;
    LOG_Write(kConfigTrace, "CONFIG_Init asigno modo de configuracion");
    if (g_cfg.name[0] != '\0') {
        if (mode == CONFIG_MODE_FILE) {
            LOG_Write(kConfigTrace, "CONFIG_Init va a intentar abrir archivo de configuracion");
            g_cfg.file = std::fopen(g_cfg.name.data(), kReadMode);
            if (g_cfg.file != nullptr) {
                LOG_Write(kConfigTrace, "CONFIG_Init abrio archivo de configuracion correctamente");
                ret = 0;
            } else {
                LOG_Write(kConfigTrace, "CONFIG_Init abriendo archivo de configuracion");
            }
        } else if (mode == CONFIG_MODE_ENVIRONMENT) {
            LOG_Write(kConfigError, "CONFIG_Init modo de configuracion por environment aun no implementado");
        } else if (config_IsRegistryMode()) {
            ret = config_OpenRegistry();
        }
    }
    LOG_Write(kConfigTrace, "CONFIG_Init Exit RetCode=[%d]", ret);
    return ret;
}

int CONFIG_Read()
{
    LOG_Write(kConfigTrace, "CONFIG_Read Entry");
    int ret = -1;
    if (g_cfg.mode == CONFIG_MODE_FILE) {
        ret = config_ReadFile();
    } else if (g_cfg.mode == CONFIG_MODE_ENVIRONMENT) {
        LOG_Write(kConfigError, "CONFIG_Read modo de configuracion por environment aun no implementado");
    } else if (config_IsRegistryMode()) {
        ret = config_ReadRegistry();
    }
    LOG_Write(kConfigTrace, "CONFIG_Read Exit RetCode=[%d]", ret);
    return ret;
}

int CONFIG_Get(const char* varName, char* dest, std::size_t destCap)
{
    LOG_Write(kConfigTrace, "CONFIG_Get Entry VarName=[%s]", config_Text(varName));
    int ret = -1;
    if (varName != nullptr && varName[0] != '\0') {
        for (const ConfigSlot& slot : g_cfg.table) {
            if (!slot.name) {
                break;
            }
            if (slot.invalid != 0 || std::strcmp(slot.name.get(), varName) != 0) {
                continue;
            }
            const std::size_t len = std::strlen(slot.value.get());
            if (dest == nullptr || len >= destCap) {
                LOG_Write(kConfigError, "CONFIG_Get valor de %zu caracteres no cabe en destino de %zu bytes", len,
                          destCap);
                break;
            }
            std::memcpy(dest, slot.value.get(), len + 1);
            LOG_Write(kConfigTrace, "CONFIG_Get devuelve valor [%s]", dest);
            ret = 0;
            break;
        }
    }
    LOG_Write(kConfigTrace, "CONFIG_Get Exit RetCode=[%d]", ret);
    return ret;
}

int CONFIG_Put(const char* varName, const char* varValue)
{
    LOG_Write(kConfigTrace, "CONFIG_Put Entry VarName=[%s] VarValue=[%s]", config_Text(varName),
              config_Text(varValue));
    int ret = -1;
    if (varName != nullptr && varName[0] != '\0' && varValue != nullptr && varValue[0] != '\0') {
        LOG_Write(kConfigTrace, "CONFIG_Put va a buscar si esta en estructura");
        ConfigSlot* found = nullptr;
        ConfigSlot* place = nullptr;
        for (ConfigSlot& slot : g_cfg.table) {
            if (!slot.name) {
                place = &slot;
                break;
            }
            if (std::strcmp(slot.name.get(), varName) == 0) {
                found = &slot;
                break;
            }
        }
        LOG_Write(kConfigTrace, "CONFIG_Put valor %s en estructura", found != nullptr ? "ESTA" : "NO ESTA");
        const std::size_t newLen = std::strlen(varValue);
        if (found != nullptr) {
            const std::size_t oldLen = found->value ? std::strlen(found->value.get()) : 0;
            LOG_Write(kConfigTrace, "CONFIG_Put longitud vieja [%d], longitud nueva [%d]", static_cast<int>(oldLen),
                      static_cast<int>(newLen));
            bool stored = true;
            if (!found->value || newLen > oldLen) {
                std::unique_ptr<char[]> grown = config_Dup(varValue);
                stored = static_cast<bool>(grown);
                if (stored) {
                    found->value = std::move(grown);
                    LOG_Write(kConfigTrace, "CONFIG_Put realoco Value");
                }
            } else {
                std::memcpy(found->value.get(), varValue, newLen + 1);
            }
            if (stored) {
                found->invalid = 0;
                LOG_Write(kConfigTrace, "CONFIG_Put copio nuevo valor [%s]", found->value.get());
                ret = 0;
            }
        } else {
            LOG_Write(kConfigTrace, "CONFIG_Put va a guardar nuevo valor en estructura");
            if (place != nullptr) {
                LOG_Write(kConfigTrace, "CONFIG_Put longitud de VarName=[%d] longitud de VarValue=[%d]",
                          static_cast<int>(std::strlen(varName)), static_cast<int>(newLen));
                place->name = config_Dup(varName);
                if (place->name) {
                    LOG_Write(kConfigTrace, "CONFIG_Put aloco VarName");
                    place->value = config_Dup(varValue);
                }
                if (place->value) {
                    LOG_Write(kConfigTrace, "CONFIG_Put aloco VarValue");
                    LOG_Write(kConfigTrace, "CONFIG_Put copio VarName=[%s]", place->name.get());
                    LOG_Write(kConfigTrace, "CONFIG_Put copio VarValue=[%s]", place->value.get());
                    place->invalid = 0;
                    ret = 0;
                }
            }
        }
    }
    LOG_Write(kConfigTrace, "CONFIG_Put Exit RetCode=[%d]", ret);
    return ret;
}

int CONFIG_Invalidate(const char* varName)
{
    if (varName == nullptr || varName[0] == '\0') {
        return -1;
    }
    for (ConfigSlot& slot : g_cfg.table) {
        if (!slot.name) {
            break;
        }
        if (std::strcmp(slot.name.get(), varName) == 0) {
            slot.invalid = 1;
            return 0;
        }
    }
    return -1;
}

int CONFIG_Write()
{
    const std::time_t now = std::time(nullptr);
    LOG_Write(kConfigTrace, "CONFIG_Write Entry");
    int ret = -1;
    if (g_cfg.mode == CONFIG_MODE_FILE) {
        ret = config_WriteFile(now);
    } else if (config_IsRegistryMode()) {
        ret = config_WriteRegistry();
    }
    LOG_Write(kConfigTrace, "CONFIG_Write Exit");
    return ret;
}

int CONFIG_Exit()
{
    LOG_Write(kConfigTrace, "CONFIG_Exit Entry");
    config_CloseFile();
    config_CloseKeys();
    config_ClearTable();
    LOG_Write(kConfigTrace, "CONFIG_Exit Exit");
    return 0;
}
