// The terminal exchange files: the request file read into the request buffer,
// the reply file written from it. Both are opened with exclusive sharing and in
// text mode, so a file that a terminal is still using is left alone.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "fileio.h"
#include "kmoclient.h"
#include "log.h"
#include "plat_file.h"

namespace {

constexpr int kLogFileError = 1;   // open and write failures: shown by the plainest log
constexpr int kLogError = 17;
constexpr int kLogDebug = 77;

// Bytes taken from the request file per read.
constexpr std::size_t kChunk = 511;

unsigned g_repliesWritten = 0;

struct ErrorText {
    int number;
    const char* text;
};

constexpr ErrorText kOpenErrors[] = {
    {ENOENT, "File or path not found."},
    {EACCES, "Given path is a directory, or file is read-only, but an open-for-writing operation was attempted"},
    {EEXIST, "_O_CREAT and _O_EXCL flags were specified, but filename already exists."},
    {EINVAL, "Invalid oflag or shflag argument."},
    {EMFILE, "No more file handles available."},
};

constexpr ErrorText kWriteErrors[] = {
    {EBADF, "The file handle is invalid or the file is not opened for writing"},
    {ENOSPC, "There is not enough space left on the device for the operation."},
};

template <std::size_t N>
void fileio_LogErrno(int err, const ErrorText (&table)[N])
{
    for (const ErrorText& e : table) {
        if (e.number == err) {
            LOG_Write(kLogError, "KMOClient_WriteFileOutput errno=[%d] error=[%s]", err, e.text);
            return;
        }
    }
}

// Closes the file, and gives it back whatever happens on the way out.
class FileGuard {
    PLAT_File f_;

public:
    explicit FileGuard(PLAT_File f) noexcept : f_(f) {}
    ~FileGuard()
    {
        if (f_ != PLAT_FILE_BAD) {
            PLAT_FileClose(f_);
        }
    }
    FileGuard(const FileGuard&) = delete;
    FileGuard& operator=(const FileGuard&) = delete;
    PLAT_File get() const noexcept { return f_; }
};

}  // namespace

int fileio_ReadRequest(const char* path, RequestRead* read)
{
    *read = RequestRead{};
    FileGuard file(PLAT_FileOpenReadExclusive(path));
    if (file.get() == PLAT_FILE_BAD) {
        return -1;
    }
    PLAT_FileIdOf(file.get(), &read->id);
    std::memset(KMOClient_RequestBuffer, 0, sizeof KMOClient_RequestBuffer);
    std::array<char, kChunk + 1> chunk{};
    std::size_t used = 0;
    const std::size_t room = sizeof KMOClient_RequestBuffer - 1;
    // One read past a full buffer tells a request that fits from a longer one,
    // without reading the rest of a file of any size.
    for (;;) {
        const long n = PLAT_FileReadText(file.get(), chunk.data(), kChunk);
        if (n <= 0) {
            break;
        }
        const std::size_t got = static_cast<std::size_t>(n);
        if (std::memchr(chunk.data(), '\0', got) != nullptr) {
            read->hasNul = true;
        }
        const std::size_t take = std::min(got, room - used);
        std::memcpy(KMOClient_RequestBuffer + used, chunk.data(), take);
        used += take;
        if (take < got) {
            read->tooLong = true;
            break;
        }
    }
    return 0;
}

unsigned fileio_RepliesWritten()
{
    return g_repliesWritten;
}

// Reads the whole request file into the request buffer. -1 when the file
// cannot be opened (missing, still in use by the terminal, or not a plain
// file): the buffer is then left as it was. A file longer than the buffer is
// cut to its 1024 characters; a read error keeps what was read before it.
int KMOClient_ReadFileInput(const char* path)
{
    LOG_Write(kLogDebug, "KMOClient_ReadFileInput Entry");
    RequestRead read;
    const int result = fileio_ReadRequest(path, &read);
    LOG_Write(kLogDebug, "KMOClient_ReadFileInput Exit");
    return result;
}

namespace {

// Where a reply is normalised before it is written.
char g_replyStage[KMO_PACKET_SIZE];

}  // namespace

// Writes a reply text to the reply file, normalised first when NormalizeReply
// is on. The text is staged in a buffer of its own, as large as a packet, so
// that a whole reply from the gateway reaches the terminal. 0, or -1 when the file cannot be opened
// (another process has it open: EACCES) or the write fails.
int KMOClient_WriteFileOutput(const char* path, const char* text)
{
    LOG_Write(kLogDebug, "KMOClient_WriteFileOutput Entry");
    int result = 0;
    FileGuard file(PLAT_FileOpenWriteExclusive(path));
    if (file.get() == PLAT_FILE_BAD) {
        const int err = errno;
        LOG_Write(kLogFileError, "KMOClient_WriteFileOutput abriendo archivo [%s] de output",
                  path != nullptr ? path : "");
        fileio_LogErrno(err, kOpenErrors);
        result = -1;
    } else {
        // A bounded length: the text may come from a buffer of any size.
        const char* src = text != nullptr ? text : "";
        const std::size_t len = strnlen(src, sizeof g_replyStage - 1);
        std::memmove(g_replyStage, src, len);
        std::memset(g_replyStage + len, 0, sizeof g_replyStage - len);
        if (NormalizeReply != 0) {
            KMOClient_NormalizeResponse(g_replyStage, sizeof g_replyStage);
        }
        const std::size_t out = std::strlen(g_replyStage);
        // The sync makes sure that a reply the terminal may already be
        // reading is not lost by a crash of the machine.
        if (PLAT_FileWriteText(file.get(), g_replyStage, out) < 0 ||
            PLAT_FileSync(file.get()) != 0) {
            const int err = errno;
            PLAT_FileEmpty(file.get());   // no reply at all rather than one that may be torn
            LOG_Write(kLogFileError, "KMOClient_WriteFileOutput _write");
            fileio_LogErrno(err, kWriteErrors);
            result = -1;
        } else {
            ++g_repliesWritten;
        }
    }
    LOG_Write(kLogDebug, "KMOClient_WriteFileOutput Exit");
    return result;
}
