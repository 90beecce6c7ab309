// Tagged-field transaction texts. The only state is the result buffer that
// KMO_TranGetField fills when its caller gives no destination.
#include "kmo_tran.h"

#include <array>
#include <cstring>

#include "log.h"

namespace {

constexpr int kLogError = 4;
constexpr int kLogDebug = 64;

// Where KMO_TranGetField puts a value when the caller passes no destination.
// Cleared by every call that passes the input checks.
std::array<char, KMO_TRAN_RESULT_SIZE> g_result{};

bool tran_IsEmpty(const char* s)
{
    return s == nullptr || s[0] == '\0';
}

}  // namespace

char* KMO_TranGetField(const char* text, const char* tag, char* dest, std::size_t destCap)
{
    LOG_Write(kLogDebug, "KMO_TranGetField Entry");
    if (tran_IsEmpty(text) || tran_IsEmpty(tag)) {
        return nullptr;
    }

    // The value is read from a copy, so `dest` may overlap `text`. A text
    // longer than the copy is searched in its first 4095 characters only.
    std::array<char, KMO_TRAN_WORK_SIZE> work{};
    const std::size_t textLen = strnlen(text, work.size() - 1);
    std::memcpy(work.data(), text, textLen);

    g_result.fill('\0');
    if (dest == nullptr) {
        dest = g_result.data();
        destCap = g_result.size();
    }

    const char* match = std::strstr(work.data(), tag);
    const char* equal = match != nullptr ? std::strchr(match, '=') : nullptr;
    const char* bar = equal != nullptr ? std::strchr(equal + 1, '|') : nullptr;
    if (bar != nullptr && destCap > 0) {
        const std::size_t n = static_cast<std::size_t>(bar - (equal + 1));
        if (n > 0) {
            LOG_Write(kLogDebug, "KMO_TranGetField copiando buffer");
            const std::size_t kept = n < destCap - 1 ? n : destCap - 1;
            std::memcpy(dest, equal + 1, kept);
            dest[kept] = '\0';
        } else {
            dest[0] = '\0';
        }
        LOG_Write(kLogDebug, "KMO_TranGetField Retorna=[%s]", dest);
    }
    LOG_Write(kLogDebug, "KMO_TranGetField Exit");
    return dest;
}

std::uint16_t KMO_TranHasField(const char* text, const char* tag)
{
    if (text == nullptr || tag == nullptr) {
        return 0;
    }
    return std::strstr(text, tag) != nullptr ? 1 : 0;
}

int KMO_TranDelField(char* text, const char* tag)
{
    if (tran_IsEmpty(text) || tran_IsEmpty(tag)) {
        return -1;
    }
    char* match = std::strstr(text, tag);
    if (match == nullptr) {
        return 0;
    }
    const char* bar = std::strchr(match, '|');
    if (bar == nullptr) {
        return 0;
    }
    // The rest of the text, NUL included, moves down over the field.
    std::memmove(match, bar + 1, std::strlen(bar + 1) + 1);
    return 0;
}

int KMO_TranPutfield(char* text, std::size_t cap, const char* tag, const char* value)
{
    LOG_Write(kLogDebug, "KMO_TranPutfield Entry");

    // A text without its NUL inside `cap` is treated like a missing one: there
    // is no safe place to append to.
    const std::size_t len = text != nullptr ? strnlen(text, cap) : 0;
    bool valid = text != nullptr && len < cap && !tran_IsEmpty(tag) && value != nullptr;
    std::size_t tagLen = 0;
    std::size_t valueLen = 0;
    bool addSep = false;
    if (valid) {
        tagLen = std::strlen(tag);
        valueLen = std::strlen(value);
        addSep = len == 0 || text[len - 1] != '|';
        // Separator, tag, '=', value and the NUL must all fit.
        const std::size_t room = cap - len;
        const std::size_t need = (addSep ? 1 : 0) + tagLen + 1 + valueLen + 1;
        valid = tagLen < room && valueLen < room && need <= room;
    }
    if (!valid) {
        LOG_Write(kLogError, "KMO_TranPutfield valores de input invalidos");
        return -1;
    }

    char* end = text + len;
    if (addSep) {
        *end++ = '|';
    }
    std::memmove(end, tag, tagLen);
    end += tagLen;
    *end++ = '=';
    std::memmove(end, value, valueLen);
    end[valueLen] = '\0';

    LOG_Write(kLogDebug, "KMO_TranPutfield Tran=[%s]", text);
    LOG_Write(kLogDebug, "KMO_TranPutfield Exit");
    return 0;
}

void KMO_TranClose(char* text, std::size_t cap)
{
    if (text == nullptr) {
        return;
    }
    const std::size_t len = strnlen(text, cap);
    if (len == 0 || len + 2 > cap) {
        return;
    }
    text[len] = '|';
    text[len + 1] = '\0';
}
