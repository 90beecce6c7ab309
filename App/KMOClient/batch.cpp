// Forwarding of the locally pre-authorised prescriptions: the oldest records
// of kmoautoresp.txt go to the gateway one by one, at most five per call. The
// gateway's accepting replies are kept in kmoautorespvalid.txt. A record that
// cannot be forwarded at all (refused with "ER", of an unknown type, too long
// for a packet) is set aside whole in kmoautoresprechazadas.txt and the queue
// goes on: nothing is dropped and nothing blocks the records behind it.
//
// Progress survives a crash. After each record dealt with, a synced line in
// the progress mark says how much of the file has been dealt with, with a
// checksum of that part; a later call skips that part while the file still
// begins with it. At the end of a call the file is rewritten without it and
// the mark goes (while a backlog drains, only at the drain's end or once the
// part dealt with has grown large). So a crash sends again at most the record
// in flight.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "kmo_packet.h"
#include "kmo_tran.h"
#include "kmoclient.h"
#include "kmoclient_internal.h"
#include "log.h"
#include "plat_file.h"
#include "plat_fs.h"

namespace {

constexpr int kMaxPerCall = 5;
constexpr const char* kOp = "KMOClient_EnviarRecetasPreautorizadas";
constexpr const char* kFileRejected = "kmoautoresprechazadas.txt";
constexpr const char* kFileProgress = "kmoautoresp.pos";
// While draining, the file is rewritten once this much of it has been dealt
// with: rewriting it after every five records would cost more than sending them.
constexpr std::size_t kRewriteAfterBytes = 64 * 1024;

// One record being sent. A record is a request of up to 1024 characters
// stamped with its authorisation number, so it can be longer than the request
// buffer; this holds the longest text that a packet can carry.
char g_record[KMO_PACKET_SIZE - KMO_PACKET_HEADER_SIZE + 1];

enum class Verdict { Accepted, SetAside, Failed };

// FNV-1a, 64 bits: enough to tell whether the file still begins as it did.
// It runs on: the checksum of a longer prefix goes on from a shorter one's.
constexpr std::uint64_t kChecksumStart = 14695981039346656037ULL;
std::uint64_t batch_Checksum(std::string_view bytes, std::uint64_t h = kChecksumStart)
{
    for (const char c : bytes) {
        h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
    return h;
}

// The whole content of a file; false when it cannot be opened or read.
bool batch_ReadAll(const char* path, std::string* out)
{
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
        return false;
    }
    out->clear();
    char chunk[8192];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        out->append(chunk, n);
    }
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

// Where the last call left off, when the mark still fits the file: the offset
// of the first record not dealt with; 0 otherwise. Only whole mark lines count
// (a line cut short by a crash is ignored).
std::size_t batch_Resume(const std::string& text)
{
    std::string mark;
    if (!batch_ReadAll(kFileProgress, &mark)) {
        return 0;
    }
    const std::size_t end = mark.rfind('\n');
    if (end == std::string::npos) {
        return 0;
    }
    const std::size_t prev = end == 0 ? std::string::npos : mark.rfind('\n', end - 1);
    const std::size_t begin = prev == std::string::npos ? 0 : prev + 1;
    const std::string line = mark.substr(begin, end - begin);
    unsigned long long offset = 0;
    std::uint64_t sum = 0;
    if (std::sscanf(line.c_str(), "%llu %" SCNx64, &offset, &sum) != 2 || offset == 0 || offset > text.size() ||
        text[offset - 1] != '\n' || batch_Checksum(std::string_view(text).substr(0, offset)) != sum) {
        return 0;
    }
    return static_cast<std::size_t>(offset);
}

// Records that the file has been dealt with up to `offset`, whose prefix has
// the checksum `sum`. False (logged) when the mark cannot be written: the call
// then stops, so that a crash cannot send more than the record in flight again.
bool batch_MarkProgress(std::size_t offset, std::uint64_t sum)
{
    char line[64];
    const int n = std::snprintf(line, sizeof line, "%zu %016" PRIx64 "\n", offset, sum);
    if (PLAT_FileAppendSync(kFileProgress, line, static_cast<std::size_t>(n)) != 0) {
        LOG_Write(17, "%s escribiendo archivo [%s]: %s", kOp, kFileProgress, std::strerror(errno));
        return false;
    }
    return true;
}

// Appends the record, unchanged and with a LF, to the set-aside file.
bool batch_SetAside(std::string_view record)
{
    std::string line(record);
    line += '\n';
    if (PLAT_FileAppendSync(kFileRejected, line.data(), line.size()) != 0) {
        LOG_Write(17, "%s escribiendo archivo [%s]: %s", kOp, kFileRejected, std::strerror(errno));
        return false;
    }
    return true;
}

// The packet type of the record in g_record, with 000021/000011 turned back
// into the request's own code; 0 for a record that is not to be sent, -1 for
// one whose rewrite does not fit the buffer.
int batch_TranType()
{
    char tipo[8] = {};   // one byte more than a code: a longer value is no code
    KMO_TranGetField(g_record, "G99", tipo, sizeof tipo);
    const char* sendAs = nullptr;
    int type = 0;
    if (std::strcmp(tipo, "000020") == 0) {
        type = 1;
    } else if (std::strcmp(tipo, "000010") == 0) {
        type = 3;
    } else if (std::strcmp(tipo, "000021") == 0) {
        type = 1;
        sendAs = "000020";
    } else if (std::strcmp(tipo, "000011") == 0) {
        type = 3;
        sendAs = "000010";
    }
    if (sendAs != nullptr) {
        KMO_TranDelField(g_record, "G99");
        if (KMO_TranPutfield(g_record, sizeof g_record, "G99", sendAs) != 0) {
            return -1;
        }
        KMO_TranClose(g_record, sizeof g_record);
    }
    return type;
}

// Forwards one record (its line without the line end).
Verdict batch_Forward(std::string_view record)
{
    if (record.size() >= sizeof g_record) {
        LOG_Write(17, "%s KMO_MakePacket", kOp);
        return Verdict::SetAside;
    }
    std::memset(g_record, 0, sizeof g_record);
    std::memcpy(g_record, record.data(), record.size());
    const int tranType = batch_TranType();
    if (tranType == 0) {
        LOG_Write(17, "%s Tipo de transaccion invalido", kOp);
        return Verdict::SetAside;
    }
    std::memset(KMOClient_SendBuffer, 0, sizeof KMOClient_SendBuffer);
    const int len = tranType == -1 ? -1
                                   : KMO_MakePacket(static_cast<std::uint16_t>(tranType), Name, g_record,
                                                    KMOClient_SendBuffer, sizeof KMOClient_SendBuffer);
    if (len == -1) {
        LOG_Write(17, "%s KMO_MakePacket", kOp);
        return Verdict::SetAside;
    }

    const ExchangeResult ex = client_Exchange(kOp, len, true);
    if (ex.fail != ExchangeFail::None) {
        client_LogExchangeFailure(kOp, ex);
        return Verdict::Failed;
    }
    const char* reply = KMOClient_ReceiveBuffer + KMO_PACKET_HEADER_SIZE;
    LOG_Write(57, "");
    LOG_Write(57, "%s Recibio del Gateway:[%s]", kOp, reply);
    LOG_Write(57, "");

    // A reply without a text says nothing: the record is tried again later.
    if (reply[0] == '\0') {
        LOG_Write(17, "%s el gateway respondio sin texto, la receta se reintentara", kOp);
        return Verdict::Failed;
    }
    const char* code = KMO_TranGetField(reply, "F50", nullptr, 0);
    if (code != nullptr && std::strcmp(code, "ER") == 0) {
        LOG_Write(17, "%s dio error en la validacion", kOp);
        LOG_Write(17, "%s receta rechazada por el gateway:[%s]", kOp, reply);
        return Verdict::SetAside;
    }
    std::string line(reply);
    line += '\n';
    if (PLAT_FileAppendSync(KMO_FILE_AUTORESP_VALID, line.data(), line.size()) != 0) {
        // The gateway has the record; sending it again would report it twice.
        LOG_Write(17, "%s escribiendo archivo [%s]: %s", kOp, KMO_FILE_AUTORESP_VALID, std::strerror(errno));
    }
    return Verdict::Accepted;
}

// The records from `from` on, each with its whole line end (CR too) replaced
// by one LF; empty lines are left out.
std::string batch_Remaining(std::string_view text, std::size_t from)
{
    std::string out;
    while (from < text.size()) {
        std::size_t eol = text.find('\n', from);
        if (eol == std::string_view::npos) {
            eol = text.size();
        }
        std::string_view line = text.substr(from, eol - from);
        while (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (!line.empty()) {
            out.append(line);
            out += '\n';
        }
        from = eol + 1;
    }
    return out;
}

// Every record was dealt with: nothing is pending any more.
bool batch_RemoveAll()
{
    int err = 0;
    if (PLAT_FsRemove(KMO_FILE_AUTORESP, &err) == 0) {
        PLAT_FsSyncDir(KMO_FILE_AUTORESP);
        return true;
    }
    if (err == ENOENT) {
        LOG_Write(17, "%s borrando archivo kmoautoresp.txt, ubicacion erronea", kOp);
    } else if (err == EACCES) {
        LOG_Write(17, "%s borrando archivo kmoautoresp.txt, no pudo accederlo", kOp);
    }
    return false;
}

// Replaces kmoautoresp.txt by its records from `from` on (or removes it when
// none remain), then drops the progress mark. When the replacement fails the
// file and the mark stay as they were, and the next call resumes from the mark.
void batch_Rewrite(const std::string& text, std::size_t from)
{
    const std::string rest = batch_Remaining(text, from);
    if (rest.empty()) {
        if (!batch_RemoveAll()) {
            return;
        }
    } else if (PLAT_FileReplace(KMO_FILE_AUTORESP, rest.data(), rest.size()) != 0) {
        LOG_Write(17, "%s reescribiendo archivo kmoautoresp.txt: %s", kOp, std::strerror(errno));
        return;
    }
    PLAT_FsRemove(kFileProgress, nullptr);
}

}  // namespace

ForwardOutcome client_ForwardBatch(bool draining)
{
    LOG_Write(77, "%s Entry", kOp);
    std::string text;
    if (!batch_ReadAll(KMO_FILE_AUTORESP, &text)) {
        LOG_Write(17, "%s abriendo archivo de recetas preautorizadas para lectura", kOp);
        LOG_Write(77, "%s Exit RetCode=[%d]", kOp, -1);
        return ForwardOutcome::Failed;
    }
    const std::size_t resumed = batch_Resume(text);
    std::size_t pos = resumed;
    std::uint64_t sum = batch_Checksum(std::string_view(text).substr(0, pos));
    int dealt = 0;
    ForwardOutcome outcome = ForwardOutcome::Done;
    while (pos < text.size()) {
        std::size_t eol = text.find('\n', pos);
        const std::size_t next = eol == std::string::npos ? text.size() : eol + 1;
        if (eol == std::string::npos) {
            eol = text.size();
        }
        std::string_view record = std::string_view(text).substr(pos, eol - pos);
        while (!record.empty() && record.back() == '\r') {
            record.remove_suffix(1);
        }
        if (!record.empty()) {
            if (dealt == kMaxPerCall) {
                // Not a failure: the caller calls again while records remain.
                LOG_Write(57, "%s envio 5 recetas y sale", kOp);
                outcome = ForwardOutcome::More;
                break;
            }
            const Verdict v = batch_Forward(record);
            if (v == Verdict::Failed || (v == Verdict::SetAside && !batch_SetAside(record))) {
                outcome = ForwardOutcome::Failed;
                break;
            }
            if (v == Verdict::SetAside) {
                LOG_Write(17, "%s receta apartada en %s:[%.*s]", kOp, kFileRejected,
                          static_cast<int>(record.size()), record.data());
            }
            ++dealt;
        }
        sum = batch_Checksum(std::string_view(text).substr(pos, next - pos), sum);
        pos = next;
        if (!batch_MarkProgress(pos, sum)) {
            outcome = ForwardOutcome::Failed;
            break;
        }
    }
    const bool keepForNextCall = draining && outcome == ForwardOutcome::More && pos < kRewriteAfterBytes;
    if (pos == text.size() || ((dealt > 0 || resumed > 0) && !keepForNextCall)) {
        batch_Rewrite(text, pos);
    }
    const int retCode = outcome == ForwardOutcome::Done ? 0 : -1;
    LOG_Write(77, "%s Exit RetCode=[%d]", kOp, retCode);
    return outcome;
}

int KMOClient_EnviarRecetasPreautorizadas()
{
    return client_ForwardBatch(false) == ForwardOutcome::Done ? 0 : -1;
}
