// The in-flight record of each terminal (see inflight.h). One small file per
// request, written the way a database writes its journal: a temporary file,
// synced and renamed over the record; removed once the reply is written.
//
// Layout: a header line "KMOP1 flaw kind dev ino size mtime-s mtime-ns
// request-length record-length reply-length", the terminal's name on a line
// of its own, then the request's bytes, the pre-authorisation record's bytes
// and its reply's bytes.
#include "inflight.h"

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "kmoclient.h"
#include "log.h"
#include "plat_file.h"
#include "plat_fs.h"

namespace {

constexpr int kLogError = 17;
constexpr int kLogWarning = 37;
constexpr std::size_t kRecordMax = 4096;
constexpr std::size_t kPathSize = 257;

struct Record {
    RequestFlaw flaw = RequestFlaw::None;
    PLAT_FileId source;
    std::string request;
    std::string autoresp;   // the pre-authorisation record noted, if any
    std::string reply;      // and the reply that carries its number
};

std::array<bool, KMO_MAX_TERMINALS> g_pending{};
// Answered, but the record could not be removed yet: only its removal is left.
std::array<bool, KMO_MAX_TERMINALS> g_answered{};
// The request being served, kept to rewrite its record with a note.
int g_currentK = -1;
Record g_current;

// "kmopendiente_<name>.txt", the name's bytes other than letters, digits,
// '.', '_' and '-' written as %XX so that any terminal name gives one file.
std::string inflight_Path(int k)
{
    std::string path = "kmopendiente_";
    for (const char* p = Terminals[k]; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
            c == '_' || c == '-') {
            path += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            path += hex;
        }
    }
    return path + ".txt";
}

int inflight_Store(int k, const Record& r)
{
    std::string text(160, '\0');
    const int n = std::snprintf(text.data(), text.size(), "KMOP1 %d %d %llu %llu %lld %lld %lld %zu %zu %zu\n",
                                static_cast<int>(r.flaw), static_cast<int>(r.source.kind), r.source.dev,
                                r.source.ino, r.source.size, r.source.mtimeSec, r.source.mtimeNsec,
                                r.request.size(), r.autoresp.size(), r.reply.size());
    text.resize(static_cast<std::size_t>(n));
    text += Terminals[k];
    text += '\n';
    text += r.request;
    text += r.autoresp;
    text += r.reply;
    const std::string path = inflight_Path(k);
    if (PLAT_FileReplace(path.c_str(), text.data(), text.size()) != 0) {
        LOG_Write(kLogError, "KMOClient_Process escribiendo archivo [%s]: %s", path.c_str(), std::strerror(errno));
        return -1;
    }
    return 0;
}

// 1 read, 0 no record, -1 a record that cannot be read or is not whole.
int inflight_Read(int k, Record* r)
{
    const std::string path = inflight_Path(k);
    std::array<char, kRecordMax> text{};
    const long n = PLAT_FileReadSmall(path.c_str(), text.data(), text.size());
    if (n < 0) {
        if (errno == ENOENT) {
            return 0;
        }
        LOG_Write(kLogError, "KMOClient_Process leyendo archivo [%s]: %s", path.c_str(), std::strerror(errno));
        return -1;
    }
    int flaw = 0;
    int kind = 0;
    std::size_t reqLen = 0;
    std::size_t recLen = 0;
    std::size_t replyLen = 0;
    int used = 0;
    const int got = std::sscanf(text.data(), "KMOP1 %d %d %llu %llu %lld %lld %lld %zu %zu %zu\n%n", &flaw, &kind,
                                &r->source.dev, &r->source.ino, &r->source.size, &r->source.mtimeSec,
                                &r->source.mtimeNsec, &reqLen, &recLen, &replyLen, &used);
    const std::string name = std::string(Terminals[k]) + "\n";
    const std::size_t total = static_cast<std::size_t>(n);
    const std::size_t body = static_cast<std::size_t>(used) + name.size();
    if (got != 10 || used <= 0 || flaw < 0 || flaw > 2 || reqLen >= KMO_REQUEST_SIZE || body > total ||
        std::memcmp(text.data() + used, name.data(), name.size()) != 0 ||
        body + reqLen + recLen + replyLen != total) {
        LOG_Write(kLogError, "KMOClient_Process archivo [%s] incompleto o ajeno, se ignora", path.c_str());
        return -1;
    }
    r->flaw = static_cast<RequestFlaw>(flaw);
    r->source.kind = static_cast<PLAT_FileKind>(kind);
    r->request.assign(text.data() + body, reqLen);
    r->autoresp.assign(text.data() + body + reqLen, recLen);
    r->reply.assign(text.data() + body + reqLen + recLen, replyLen);
    return 1;
}

// RootPath joined with the terminal's name and the suffix; false when it
// does not fit.
bool inflight_TerminalPath(int k, const char* suffix, char (&path)[kPathSize])
{
    const std::string name = std::string(Terminals[k]) + suffix;
    std::memset(path, 0, sizeof path);
    return FILE_JoinPath(path, sizeof path, RootPath, name.c_str(), nullptr) == 0;
}

// The authorisation number of a noted record: the value of its G52.
std::string inflight_Number(const std::string& autoresp)
{
    const std::size_t at = autoresp.rfind("|G52=");
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t from = at + 5;
    return autoresp.substr(from, autoresp.find('|', from) - from);
}

}  // namespace

void inflight_Recover()
{
    for (int k = 0; k < TerminalCount && k < KMO_MAX_TERMINALS; ++k) {
        g_pending[k] = false;
        g_answered[k] = false;
        Record r;
        if (inflight_Read(k, &r) != 1) {
            continue;
        }
        // A terminal that has left a new request since took its reply (it has
        // one request out at a time): serving the old one again would answer
        // the new one with the old one's reply.
        char path[kPathSize];
        PLAT_FileId now;
        if (inflight_TerminalPath(k, "in.txt", path) && PLAT_FsIdOf(path, &now) == 0 &&
            !PLAT_FileIdSame(now, r.source)) {
            LOG_Write(kLogWarning, "KMOClient_Process la terminal [%s] ya dejo otra receta, se descarta la pendiente",
                      Terminals[k]);
            g_currentK = k;
            inflight_End(k);
            continue;
        }
        // A reply written after the record (the terminal has not taken it yet)
        // is this request's: it was answered just before the stop.
        PLAT_FileId kept;
        PLAT_FileId reply;
        if (PLAT_FsIdOf(inflight_Path(k).c_str(), &kept) == 0 && inflight_TerminalPath(k, "out.txt", path) &&
            PLAT_FsIdOf(path, &reply) == 0 && reply.kind == PLAT_FILE_PLAIN && reply.size > 0 &&
            (reply.mtimeSec > kept.mtimeSec || (reply.mtimeSec == kept.mtimeSec && reply.mtimeNsec >= kept.mtimeNsec))) {
            g_currentK = k;
            inflight_End(k);
            continue;
        }
        if (!r.autoresp.empty() &&
            PLAT_FileEndsWith(KMO_FILE_AUTORESP, r.autoresp.data(), r.autoresp.size()) >= 0) {
            // The pre-authorisation was issued and recorded; whether its reply
            // reached the terminal cannot be told, so the same reply, with the
            // same number, is written again (it may be the second). The record
            // stays: one number, one record.
            if (inflight_TerminalPath(k, "out.txt", path) && KMOClient_WriteFileOutput(path, r.reply.c_str()) == 0) {
                LOG_Write(kLogWarning, "KMOClient_Process receta de [%s] respondida de nuevo con [%s]", Terminals[k],
                          inflight_Number(r.autoresp).c_str());
                g_currentK = k;
                inflight_End(k);
                continue;
            }
            const long long at = PLAT_FileEndsWith(KMO_FILE_AUTORESP, r.autoresp.data(), r.autoresp.size());
            if (at < 0 || PLAT_FileCutBack(KMO_FILE_AUTORESP, at) != 0) {
                LOG_Write(kLogError, "KMOClient_Process retirando registro [%s] de [%s]: %s",
                          inflight_Number(r.autoresp).c_str(), KMO_FILE_AUTORESP, std::strerror(errno));
            }
        }
        if (inflight_TerminalPath(k, "in.txt", path)) {
            PLAT_FsRemoveIfSame(path, r.source, nullptr);   // read already; a newer request stays
        }
        LOG_Write(kLogWarning, "KMOClient_Process receta pendiente de [%s], se atiende de nuevo", Terminals[k]);
        g_pending[k] = true;
    }
}

bool inflight_Pending(int k)
{
    return k >= 0 && k < KMO_MAX_TERMINALS && g_pending[k];
}

int inflight_Begin(int k, const PLAT_FileId& source, RequestFlaw flaw)
{
    Record r;
    r.flaw = flaw;
    r.source = source;
    r.request.assign(KMOClient_RequestBuffer, strnlen(KMOClient_RequestBuffer, KMO_REQUEST_SIZE - 1));
    if (inflight_Store(k, r) != 0) {
        return -1;
    }
    g_pending[k] = true;
    g_currentK = k;
    g_current = std::move(r);
    return 0;
}

int inflight_Load(int k, RequestFlaw* flaw)
{
    if (g_answered[k]) {
        inflight_End(k);
        return 1;
    }
    Record r;
    if (inflight_Read(k, &r) != 1) {
        g_pending[k] = false;
        return -1;
    }
    std::memset(KMOClient_RequestBuffer, 0, sizeof KMOClient_RequestBuffer);
    std::memcpy(KMOClient_RequestBuffer, r.request.data(), r.request.size());
    *flaw = r.flaw;
    g_currentK = k;
    g_current = std::move(r);
    return 0;
}

int inflight_NoteRecord(int k, const char* record, const char* reply)
{
    if (!inflight_Pending(k) || g_currentK != k) {
        return 0;
    }
    Record noted = g_current;
    noted.autoresp = record;
    noted.reply = reply;
    if (inflight_Store(k, noted) != 0) {
        return -1;
    }
    g_current = std::move(noted);
    return 0;
}

void inflight_End(int k)
{
    const std::string path = inflight_Path(k);
    int err = 0;
    const bool removed = PLAT_FsRemove(path.c_str(), &err) == 0 || err == ENOENT;
    if (!removed) {
        LOG_Write(kLogError, "KMOClient_Process borrando archivo [%s]: %s", path.c_str(), std::strerror(err));
    }
    if (k >= 0 && k < KMO_MAX_TERMINALS) {
        g_pending[k] = !removed;
        g_answered[k] = !removed;
    }
    if (g_currentK == k) {
        g_currentK = -1;
        g_current = Record{};
    }
}
