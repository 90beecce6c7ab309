// The record file. Each packet goes out whole and flushed, so that a reader
// (a test, or an operator with a hex dump) sees it as soon as it was received.
#include "gw_record.h"

#include <cstdio>

#include "log.h"

namespace {

std::FILE* g_record = nullptr;

}  // namespace

int GW_RecordOpen(const std::string& path)
{
    GW_RecordClose();
    g_record = std::fopen(path.c_str(), "ab");
    return g_record != nullptr ? 0 : -1;
}

void GW_RecordAppend(const char* data, std::size_t len)
{
    if (g_record == nullptr || len == 0) return;
    if (std::fwrite(data, 1, len, g_record) != len || std::fflush(g_record) != 0) {
        LOG_Write(15, "GATEWAY_Record cannot write %zu bytes to the record file", len);
    }
}

void GW_RecordClose()
{
    if (g_record != nullptr) {
        std::fclose(g_record);
        g_record = nullptr;
    }
}
