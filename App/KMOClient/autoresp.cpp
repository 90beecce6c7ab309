// Local replies: the pre-authorisation ("RECETA PRE-AUTORIZADA" with a number
// of our own, recorded in kmoautoresp.txt for later forwarding) and the error
// reply. Both answer the request that is in the request buffer.
#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "inflight.h"
#include "kmo_tran.h"
#include "kmoclient.h"
#include "log.h"
#include "numbering.h"
#include "plat_file.h"

namespace {

constexpr int kLogError = 17;
constexpr int kLogDebug = 77;

constexpr std::size_t kFileNameSize = 64;
constexpr std::size_t kFilePathSize = 257;
// A record is the request stamped with "|G52=<number>|" and its line end; the
// room beyond the request buffer keeps a full request from losing its number.
constexpr std::size_t kRecordSize = KMO_REQUEST_SIZE + 48;
// 12 characters for every number below 10000000; larger sequence numbers
// widen it rather than being cut into a number issued before.
constexpr std::size_t kCodRefSize = 32;

// The request's fields that a local reply repeats, each cut to its holder.
struct RequestFields {
    std::array<char, 11> codeFarm{};
    std::array<char, 21> nroReceta{};
    std::array<char, 11> nroBenp{};
    std::array<char, 7> tipoTran{};
};

RequestFields autoresp_ReadFields(const char* who)
{
    RequestFields f;
    const char* req = KMOClient_RequestBuffer;
    KMO_TranGetField(req, "G01", f.codeFarm.data(), f.codeFarm.size());
    LOG_Write(kLogDebug, "%s CodeFarm=[%s]", who, f.codeFarm.data());
    KMO_TranGetField(req, "G04", f.nroReceta.data(), f.nroReceta.size());
    LOG_Write(kLogDebug, "%s NroReceta=[%s]", who, f.nroReceta.data());
    KMO_TranGetField(req, "G08", f.nroBenp.data(), f.nroBenp.size());
    LOG_Write(kLogDebug, "%s NroBenp=[%s]", who, f.nroBenp.data());
    KMO_TranGetField(req, "G99", f.tipoTran.data(), f.tipoTran.size());
    LOG_Write(kLogDebug, "%s TipoTran=[%s]", who, f.tipoTran.data());
    return f;
}

const char* autoresp_TerminalName(int terminal)
{
    if (terminal < 0 || terminal >= KMO_MAX_TERMINALS) {
        return "";
    }
    return Terminals[terminal];
}

// Builds a local reply in `out` (KMO_REQUEST_SIZE bytes): the request's
// fields, the terminal, code, message, the number when there is one, and the
// reply type; closed, and normalised when NormalizeReply is on.
void autoresp_BuildReply(char* out, const RequestFields& f, int terminal, const char* code,
                         const char* message, const char* codRef)
{
    const std::size_t cap = KMO_REQUEST_SIZE;
    KMO_TranPutfield(out, cap, "F01", f.codeFarm.data());
    KMO_TranPutfield(out, cap, "F04", f.nroReceta.data());
    KMO_TranPutfield(out, cap, "F08", f.nroBenp.data());
    KMO_TranPutfield(out, cap, "F41", autoresp_TerminalName(terminal));
    KMO_TranPutfield(out, cap, "F50", code);
    KMO_TranPutfield(out, cap, "F51", message);
    if (codRef != nullptr) {
        KMO_TranPutfield(out, cap, "F52", codRef);
    }
    const bool consulta = std::strcmp(f.tipoTran.data(), "000020") == 0;
    KMO_TranPutfield(out, cap, "F99", consulta ? "000021" : "000031");
    KMO_TranClose(out, cap);
    if (NormalizeReply != 0) {
        KMOClient_NormalizeResponse(out, cap);
    }
}

// The terminal's reply file: RootPath joined with "<name>out.txt". Left empty
// when it does not fit, which makes the write fail and be logged.
void autoresp_ReplyPath(int terminal, std::array<char, kFilePathSize>& path)
{
    std::array<char, kFileNameSize> name{};
    std::snprintf(name.data(), name.size(), "%sout.txt", autoresp_TerminalName(terminal));
    path.fill('\0');
    FILE_JoinPath(path.data(), path.size(), RootPath, name.data(), nullptr);
}

}  // namespace

// Answers the request with a pre-authorisation numbered "%c%4d%07d": 'G' when
// `origin` is non-zero (the wide-area network answered), 'I' otherwise; the
// year; the sequence number of the year.
//
// A number is issued only once nroaut.txt holds it durably, and is never put
// back: a failure later on skips it, a number is never issued twice. The
// request's record is appended to kmoautoresp.txt whole (or not at all) before
// the reply is written, and withdrawn again when the reply cannot be written,
// so no number a terminal never got is forwarded. When any of these steps
// fails no reply is written: the request stays in flight and is served again.
void KMOClient_GenAutoResponse(int terminal, std::uint16_t origin)
{
    const std::time_t now = g_numberingNow();
    LOG_Write(kLogDebug, "KMOClient_GenAutoResponse Entry");

    std::array<char, kRecordSize> record{};
    std::memcpy(record.data(), KMOClient_RequestBuffer,
                strnlen(KMOClient_RequestBuffer, KMO_REQUEST_SIZE - 1));
    const RequestFields fields = autoresp_ReadFields("KMOClient_GenAutoResponse");

    char anio[KMO_ANIO_SIZE] = {};
    if (numbering_CheckYear(now, anio) != 0) {
        LOG_Write(kLogDebug, "KMOClient_GenAutoResponse Exit");
        return;
    }
    const NumberingCounter before = numbering_ReadLast();
    if (!before.readable) {
        LOG_Write(kLogError, "KMOClient_GenAutoResponse leyendo archivo [%s]: %s", KMO_FILE_NROAUT,
                  std::strerror(errno));
        LOG_Write(kLogDebug, "KMOClient_GenAutoResponse Exit");
        return;
    }
    const long long sequence = before.last == LLONG_MAX ? before.last : before.last + 1;
    if (numbering_Store(sequence) != 0) {
        LOG_Write(kLogError, "KMOClient_GenAutoResponse escribiendo archivo [%s]: %s", KMO_FILE_NROAUT,
                  std::strerror(errno));
        LOG_Write(kLogDebug, "KMOClient_GenAutoResponse Exit");
        return;
    }

    std::array<char, kCodRefSize> codRef{};
    std::snprintf(codRef.data(), codRef.size(), "%c%4d%07lld", origin != 0 ? 'G' : 'I',
                  std::atoi(anio), sequence);

    if (char* nl = std::strchr(record.data(), '\n'); nl != nullptr) {
        *nl = '\0';
    }
    KMO_TranPutfield(record.data(), record.size(), "G52", codRef.data());
    KMO_TranClose(record.data(), record.size());
    const std::size_t recordLen = std::strlen(record.data());
    record[recordLen] = '\n';   // the record buffer keeps room for it
    record[recordLen + 1] = '\0';
    std::array<char, KMO_REQUEST_SIZE> reply{};
    autoresp_BuildReply(reply.data(), fields, terminal, "ND", "RECETA PRE-AUTORIZADA", codRef.data());
    if (inflight_NoteRecord(terminal, record.data(), reply.data()) != 0) {
        LOG_Write(kLogDebug, "KMOClient_GenAutoResponse Exit");
        return;
    }
    const long long at = PLAT_FileAppendWhole(KMO_FILE_AUTORESP, record.data(), recordLen + 1);
    if (at < 0) {
        LOG_Write(kLogError, "KMOClient_GenAutoResponse escribiendo archivo [%s]: %s", KMO_FILE_AUTORESP,
                  std::strerror(errno));
        LOG_Write(kLogDebug, "KMOClient_GenAutoResponse Exit");
        return;
    }

    std::array<char, kFilePathSize> path{};
    autoresp_ReplyPath(terminal, path);
    if (KMOClient_WriteFileOutput(path.data(), reply.data()) == -1) {
        LOG_Write(kLogError, "KMOClient_GenAutoResponse WriteFileOutput");
        if (PLAT_FileCutBack(KMO_FILE_AUTORESP, at) != 0) {
            LOG_Write(kLogError, "KMOClient_GenAutoResponse retirando registro [%s] de [%s]: %s", codRef.data(),
                      KMO_FILE_AUTORESP, std::strerror(errno));
        }
    }
    LOG_Write(kLogDebug, "KMOClient_GenAutoResponse Exit");
}

// Answers the request with the caller's response code and message. Issues no
// number and leaves the counter and record files alone.
void KMOClient_GenErrorResponse(int terminal, const char* code, const char* message)
{
    LOG_Write(kLogDebug, "KMOClient_GenErrorResponse Entry");
    const RequestFields fields = autoresp_ReadFields("KMOClient_GenErrorResponse");
    std::array<char, KMO_REQUEST_SIZE> reply{};
    autoresp_BuildReply(reply.data(), fields, terminal, code != nullptr ? code : "",
                        message != nullptr ? message : "", nullptr);
    std::array<char, kFilePathSize> path{};
    autoresp_ReplyPath(terminal, path);
    if (KMOClient_WriteFileOutput(path.data(), reply.data()) == -1) {
        LOG_Write(kLogError, "KMOClient_GenErrorResponse WriteFileOutput");
    }
    LOG_Write(kLogDebug, "KMOClient_GenErrorResponse Exit");
}
