// The troquel check of a request's field G06.
#include <cstdlib>
#include <cstring>

#include "kmoclient_internal.h"

namespace {

constexpr std::size_t kWidths[] = {51, 52, 53};

// A record counts when its leading number (blanks, sign, digits) is not zero.
// strtol instead of atoi: a record of 53 digits must not overflow into UB.
bool troquel_IsUsed(const char* record)
{
    return std::strtol(record, nullptr, 10) != 0;
}

}  // namespace

TroquelCheck client_CheckTroqueles(std::string_view g06, int maxTroqueles,
                                   char* kept, int* keptCount)
{
    std::memset(kept, 0, KMO_TROQUEL_SIZE);
    *keptCount = 0;
    if (g06.size() > KMO_TROQUEL_SIZE - 1) {
        return TroquelCheck::BadFormat;
    }
    std::size_t width = 0;
    for (std::size_t w : kWidths) {
        if (g06.size() % w == 0) {
            width = w;
            break;
        }
    }
    if (width == 0) {
        return TroquelCheck::BadFormat;
    }

    std::size_t used = 0;
    for (std::size_t pos = 0; pos < g06.size(); pos += width) {
        char record[KMO_TROQUEL_RECORD_MAX + 1] = {};
        std::memcpy(record, g06.data() + pos, width);
        if (troquel_IsUsed(record)) {
            std::memcpy(kept + used, record, width);
            used += width;
            ++*keptCount;
        }
    }
    return *keptCount > maxTroqueles ? TroquelCheck::TooMany : TroquelCheck::Ok;
}
