// The counter files of the local pre-authorisations. Every change is an atomic
// replacement (or a removal synced to disk), so a crash or a full disk never
// leaves a half-written counter that would restart the numbering.
#include "numbering.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kmoclient.h"
#include "log.h"
#include "plat_file.h"
#include "plat_fs.h"
#include "plat_time.h"

NumberingClock g_numberingNow = [] { return std::time(nullptr); };

namespace {

constexpr int kLogError = 17;

// The first line of a counter file: at most 14 characters, without its line
// end (LF, or CR LF from a Windows installation). False when the file cannot
// be opened or is empty.
bool numbering_ReadLine(const char* path, std::array<char, 16>& line)
{
    line.fill('\0');
    std::FILE* f = std::fopen(path, "r");
    if (f == nullptr) {
        return false;
    }
    const bool got = std::fgets(line.data(), 15, f) != nullptr;
    std::fclose(f);
    if (!got) {
        line.fill('\0');
        return true;   // opened, but holds nothing
    }
    if (char* nl = std::strchr(line.data(), '\n'); nl != nullptr) {
        *nl = '\0';
    }
    const std::size_t len = std::strlen(line.data());
    if (len > 0 && line[len - 1] == '\r') {
        line[len - 1] = '\0';
    }
    return true;
}

// atoi without its undefined overflow: leading blanks, a sign, digits.
long long numbering_Number(const char* text)
{
    errno = 0;
    const long long v = std::strtoll(text, nullptr, 10);
    return errno == ERANGE ? (v < 0 ? LLONG_MIN : LLONG_MAX) : v;
}

}  // namespace

void numbering_CheckYear(std::time_t now, char (&anio)[KMO_ANIO_SIZE])
{
    std::memset(anio, 0, sizeof anio);
    std::array<char, 16> line{};
    if (numbering_ReadLine(KMO_FILE_ANIO, line)) {
        std::memcpy(anio, line.data(), strnlen(line.data(), sizeof anio - 1));
    }

    std::tm local{};
    PLAT_LocalTime(now, &local);
    char tmpAnio[KMO_ANIO_SIZE] = {};
    if (std::strftime(tmpAnio, sizeof tmpAnio, "%Y", &local) == 0) {
        tmpAnio[0] = '\0';
    }
    if (std::strcmp(anio, tmpAnio) == 0) {
        return;
    }

    int err = 0;
    if (PLAT_FsRemove(KMO_FILE_NROAUT, &err) == 0) {
        PLAT_FsSyncDir(KMO_FILE_NROAUT);
    } else if (err == ENOENT) {
        LOG_Write(kLogError, "KMOClient_GenAutoResponse borrando archivo nroaut.txt, ubicacion erronea");
    } else if (err == EACCES) {
        LOG_Write(kLogError, "KMOClient_GenAutoResponse borrando archivo nroaut.txt, no pudo accederlo");
    }
    char content[KMO_ANIO_SIZE + 1] = {};
    const int n = std::snprintf(content, sizeof content, "%s\n", tmpAnio);
    PLAT_FileReplace(KMO_FILE_ANIO, content, static_cast<std::size_t>(n));   // a failure is not reported
    std::memcpy(anio, tmpAnio, sizeof anio);
}

NumberingCounter numbering_ReadLast()
{
    NumberingCounter c;
    std::array<char, 16> line{};
    c.present = numbering_ReadLine(KMO_FILE_NROAUT, line);
    c.last = c.present ? numbering_Number(line.data()) : 0;
    return c;
}

int numbering_Store(long long value)
{
    std::array<char, 32> content{};
    const int n = std::snprintf(content.data(), content.size(), "%lld\n", value);
    return PLAT_FileReplace(KMO_FILE_NROAUT, content.data(), static_cast<std::size_t>(n));
}

void numbering_Restore(const NumberingCounter& before)
{
    if (before.present) {
        numbering_Store(before.last);
    } else if (PLAT_FsRemove(KMO_FILE_NROAUT, nullptr) == 0) {
        PLAT_FsSyncDir(KMO_FILE_NROAUT);
    }
}
