// The request file as the main loop reads it: what came, and whether it can be
// served at all. Internal to the client.
#pragma once

#include "plat_file.h"

struct RequestRead {
    PLAT_FileId id;        // the file that was read
    bool tooLong = false;  // more than the request buffer holds
    bool hasNul = false;   // a NUL byte, which would hide the rest of the text
};

// KMOClient_ReadFileInput, telling also what was read. 0, or -1 with errno.
int fileio_ReadRequest(const char* path, RequestRead* read);

// Reply files written whole since the start: a caller compares it before and
// after serving a request to learn whether the request was answered.
unsigned fileio_RepliesWritten();
