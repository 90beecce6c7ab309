// The record file: every packet received, appended as raw bytes.
#pragma once

#include <cstddef>
#include <string>

// Opens `path` for appending. 0, or -1 when it cannot be opened.
int GW_RecordOpen(const std::string& path);

// Appends the bytes and flushes them; does nothing while no file is open.
void GW_RecordAppend(const char* data, std::size_t len);

void GW_RecordClose();
