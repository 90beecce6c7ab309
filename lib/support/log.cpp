// The log and the path builder.
#include "log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "plat_path.h"
#include "plat_time.h"

namespace {

struct LogState {
    std::FILE* dest = nullptr;
    int min = 0;
    int max = 0;
    std::string path;    // the file named last, for LOG_Reopen; empty: none
    int openError = 0;   // errno of the last failed open of `path`, else 0
};

LogState g_log;

// The log file's descriptor is not inherited by child processes.
#if defined(_WIN32)
constexpr const char* kAppendMode = "aN";
#else
constexpr const char* kAppendMode = "ae";
#endif
std::mutex g_logMutex;   // keeps the four writes of one record together

void log_CloseFile()
{
    if (g_log.dest != nullptr && g_log.dest != stdout) {
        std::fclose(g_log.dest);
    }
    g_log.dest = nullptr;
}

void log_OpenFile()
{
    errno = 0;
    g_log.dest = std::fopen(g_log.path.c_str(), kAppendMode);
    g_log.openError = g_log.dest == nullptr ? (errno != 0 ? errno : EIO) : 0;
}

}  // namespace

int LOG_Open(int min, int max, char* spec)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    if (spec != nullptr && spec[0] != '\0') {
        char* comma = std::strchr(spec, ',');
        if (comma != nullptr) {
            *comma = '\0';
            char* second = std::strchr(comma + 1, ',');
            if (second != nullptr) {
                *second = '\0';
                min = std::atoi(comma + 1);
                max = std::atoi(second + 1);
            }
        }
        if (spec[0] != '\0') {
            log_CloseFile();
            g_log.path = spec;
            log_OpenFile();
        }
    }
    if (g_log.dest == nullptr) {
        g_log.dest = stdout;
    }
    g_log.min = min;
    g_log.max = max;
    return 0;
}

int LOG_OpenError()
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_log.openError;
}

int LOG_Reopen()
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    if (g_log.dest == nullptr || g_log.path.empty()) {
        return 0;
    }
    log_CloseFile();
    log_OpenFile();
    if (g_log.dest == nullptr) {
        g_log.dest = stdout;
        return -1;
    }
    return 0;
}

void LOG_Close()
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    log_CloseFile();
    g_log.path.clear();
    g_log.openError = 0;
    g_log.min = 0;
    g_log.max = 0;
}

char* LOG_LevelName(int level, char* out)
{
    const char* name = "";
    if (level == 0) {
        name = "PANIC";
    } else if (level > 0 && level <= 80) {
        static const char* const kBands[] = {"ERROR", "WARNING", "INFO", "DEBUG"};
        const int band = (level - 1) / 20;
        const int offset = level - band * 20;
        if (offset == 4 || offset == 5 || offset == 10 || offset == 15 || offset == 17 || offset == 20) {
            name = kBands[band];
        }
    }
    std::strcpy(out, name);
    return out;
}

void LOG_Write(int level, const char* format, ...)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    if (g_log.dest == nullptr || format == nullptr) {
        return;
    }
    if ((level < g_log.min || level > g_log.max) && level != 0) {
        return;
    }
    std::tm now{};
    PLAT_LocalTime(std::time(nullptr), &now);
    char stamp[20] = {};
    std::strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &now);
    char name[8] = {};
    LOG_LevelName(level, name);

    std::fprintf(g_log.dest, "%s\t", stamp);
    std::fprintf(g_log.dest, "%s\t", name);
    if (format[0] != '\0') {
        va_list ap;
        va_start(ap, format);
        std::vfprintf(g_log.dest, format, ap);
        va_end(ap);
    }
    std::fputs("\n", g_log.dest);
    std::fflush(g_log.dest);
}

int FILE_JoinPath(char* dest, std::size_t cap, const char* first, ...)
{
    if (first == nullptr) {
        return 0;
    }
    if (dest == nullptr || cap == 0) {
        return -1;
    }
    std::string path(dest, strnlen(dest, cap));
    va_list ap;
    va_start(ap, first);
    for (const char* part = first; part != nullptr;) {
        path += part;
        const char* next = va_arg(ap, const char*);
        if (next != nullptr && !path.empty() && !PLAT_IsPathSep(path.back())) {
            path += PLAT_PATH_SEP;
        }
        part = next;
    }
    va_end(ap);
    if (path.size() >= cap) {
        return -1;
    }
    std::memcpy(dest, path.c_str(), path.size() + 1);
    return 0;
}
