// Checks on single field values. Each writes an entry record with its
// arguments and an exit record with its verdict, "TRUE" or "FALSE".
#include "kmo_valid.h"

#include <cstdlib>
#include <cstring>

#include "log.h"

namespace {

constexpr int kLogDebug = 64;

// The only date layout the date check knows.
constexpr const char* kDateFormat = "DD/MM/YYYY";
constexpr std::size_t kDateSize = 10;

// printf must never see a null %s argument.
const char* valid_Shown(const char* s)
{
    return s != nullptr ? s : "(null)";
}

const char* valid_Word(bool ok)
{
    return ok ? "TRUE" : "FALSE";
}

bool valid_IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool valid_IsLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Every character passes `test`; a null or empty value does not.
template <typename Test>
bool valid_All(const char* value, Test test)
{
    if (value == nullptr || value[0] == '\0') {
        return false;
    }
    for (const char* p = value; *p != '\0'; ++p) {
        if (!test(*p)) {
            return false;
        }
    }
    return true;
}

// atoi of `count` characters starting at `from`.
int valid_Number(const char* from, std::size_t count)
{
    char digits[8] = {};
    std::memcpy(digits, from, count);
    return std::atoi(digits);
}

}  // namespace

std::uint16_t KMO_ValidFieldNumeric(const char* value)
{
    LOG_Write(kLogDebug, "KMO_ValidFieldNumeric Entry FieldValue=%s", valid_Shown(value));
    const bool ok = valid_All(value, valid_IsDigit);
    LOG_Write(kLogDebug, "KMO_ValidFieldNumeric Exit RetValue=%s", valid_Word(ok));
    return ok ? 1 : 0;
}

std::uint16_t KMO_ValidFieldAlfa(const char* value)
{
    LOG_Write(kLogDebug, "KMO_ValidFieldAlfa Entry FieldValue=%s", valid_Shown(value));
    const bool ok = valid_All(value, valid_IsLetter);
    LOG_Write(kLogDebug, "KMO_ValidFieldAlfa Exit RetValue=%s", valid_Word(ok));
    return ok ? 1 : 0;
}

std::uint16_t KMO_ValidFieldLength(const char* value, int length)
{
    LOG_Write(kLogDebug, "KMO_ValidFieldLength Entry FieldValue=%s Length=%d", valid_Shown(value),
              length);
    // A null value has no length to compare; it is judged FALSE.
    const bool ok = value != nullptr && length >= 0 &&
                    std::strlen(value) == static_cast<std::size_t>(length);
    LOG_Write(kLogDebug, "KMO_ValidFieldLength Exit RetValue=%s", valid_Word(ok));
    return ok ? 1 : 0;
}

std::uint16_t KMO_ValidFieldDate(const char* value, const char* format)
{
    LOG_Write(kLogDebug, "KMO_ValidFieldDate Entry FieldValue=%s Format=%s", valid_Shown(value),
              valid_Shown(format));
    bool ok = value != nullptr && value[0] != '\0' && format != nullptr &&
              std::strcmp(format, kDateFormat) == 0;
    // The fields sit at fixed positions 0 to 9; a shorter value cannot hold a
    // date and is not read past its end.
    ok = ok && strnlen(value, kDateSize) == kDateSize;
    ok = ok && (value[2] == '/' || value[5] == '/');
    if (ok) {
        const int day = valid_Number(value, 2);
        const int month = valid_Number(value + 3, 2);
        const int year = valid_Number(value + 6, 4);
        ok = day >= 1 && day <= 31 && month >= 1 && month <= 12 && year >= 1900;
    }
    LOG_Write(kLogDebug, "KMO_ValidFieldDate Exit RetValue=%s", valid_Word(ok));
    return ok ? 1 : 0;
}
