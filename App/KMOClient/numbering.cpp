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
// end (LF, or CR LF from a Windows installation). Read only from a plain file
// (never through a link). 1 when read (empty when the file holds nothing),
// 0 when the file does not exist, -1 when it exists but cannot be read.
int numbering_ReadLine(const char* path, std::array<char, 16>& line)
{
    line.fill('\0');
    std::array<char, 64> content{};
    if (PLAT_FileReadSmall(path, content.data(), content.size()) < 0) {
        return errno == ENOENT ? 0 : -1;
    }
    std::memcpy(line.data(), content.data(), strnlen(content.data(), 14));
    if (char* nl = std::strchr(line.data(), '\n'); nl != nullptr) {
        *nl = '\0';
    }
    const std::size_t len = std::strlen(line.data());
    if (len > 0 && line[len - 1] == '\r') {
        line[len - 1] = '\0';
    }
    return 1;
}

// atoi without its undefined overflow: leading blanks, a sign, digits.
long long numbering_Number(const char* text)
{
    errno = 0;
    const long long v = std::strtoll(text, nullptr, 10);
    return errno == ERANGE ? (v < 0 ? LLONG_MIN : LLONG_MAX) : v;
}

}  // namespace

int numbering_CheckYear(std::time_t now, char (&anio)[KMO_ANIO_SIZE])
{
    std::memset(anio, 0, sizeof anio);
    std::array<char, 16> line{};
    const int got = numbering_ReadLine(KMO_FILE_ANIO, line);
    if (got < 0) {
        // Taking an unreadable year for a new one would restart the sequence.
        LOG_Write(kLogError, "KMOClient_GenAutoResponse leyendo archivo [%s]: %s", KMO_FILE_ANIO,
                  std::strerror(errno));
        return -1;
    }
    if (got == 1) {
        std::memcpy(anio, line.data(), strnlen(line.data(), sizeof anio - 1));
    }

    std::tm local{};
    PLAT_LocalTime(now, &local);
    char tmpAnio[KMO_ANIO_SIZE] = {};
    if (std::strftime(tmpAnio, sizeof tmpAnio, "%Y", &local) == 0) {
        tmpAnio[0] = '\0';
    }
    if (std::strcmp(anio, tmpAnio) == 0) {
        return 0;
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
    // Until the new year is stored no number may be issued: the next call
    // would take the year for new again and restart the sequence once more.
    if (PLAT_FileReplace(KMO_FILE_ANIO, content, static_cast<std::size_t>(n)) != 0) {
        LOG_Write(kLogError, "KMOClient_GenAutoResponse escribiendo archivo [%s]: %s", KMO_FILE_ANIO,
                  std::strerror(errno));
        return -1;
    }
    std::memcpy(anio, tmpAnio, sizeof anio);
    return 0;
}

NumberingCounter numbering_ReadLast()
{
    NumberingCounter c;
    std::array<char, 16> line{};
    const int got = numbering_ReadLine(KMO_FILE_NROAUT, line);
    c.present = got != 0;
    c.readable = got >= 0;
    c.last = got == 1 ? numbering_Number(line.data()) : 0;
    return c;
}

int numbering_Store(long long value)
{
    std::array<char, 32> content{};
    const int n = std::snprintf(content.data(), content.size(), "%lld\n", value);
    return PLAT_FileReplace(KMO_FILE_NROAUT, content.data(), static_cast<std::size_t>(n));
}
