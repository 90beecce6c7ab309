// The road of one request: the terminal's request file is read, kept in
// flight and removed, checked, rewritten, exchanged with the gateway, and
// answered with the gateway's reply or a local one. Every request read gets
// exactly one reply: one whose reply could not be written stays in flight and
// is served again on the next pass.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "fileio.h"
#include "inflight.h"
#include "kmo_packet.h"
#include "kmo_tran.h"
#include "kmoclient.h"
#include "kmoclient_internal.h"
#include "log.h"
#include "plat_file.h"
#include "plat_fs.h"
#include "plat_time.h"

namespace {

constexpr std::size_t kFileNameSize = 64;
constexpr std::size_t kFilePathSize = 257;

// RootPath joined with the terminal's name and the suffix; false when it does
// not fit (the settings' limits keep it from happening).
bool request_TerminalPath(int k, const char* suffix, char (&path)[kFilePathSize])
{
    char fileName[kFileNameSize] = {};
    const int n = std::snprintf(fileName, sizeof fileName, "%s%s", Terminals[k], suffix);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof fileName) {
        return false;
    }
    std::memset(path, 0, sizeof path);
    return FILE_JoinPath(path, sizeof path, RootPath, fileName, nullptr) == 0;
}

// "000020" -> 1, "000010" -> 3, anything else 0 (refused).
std::uint16_t request_TranType(const char* request)
{
    // One byte more than the code, so that a longer value cannot pass as a code.
    char tipo[8] = {};
    KMO_TranGetField(request, "G99", tipo, sizeof tipo);
    if (std::strcmp(tipo, "000020") == 0) {
        return 1;
    }
    if (std::strcmp(tipo, "000010") == 0) {
        return 3;
    }
    return 0;
}

// Trailing CR and LF go; the first character always stays.
void request_StripLineEnds(char* text)
{
    std::size_t len = std::strlen(text);
    while (len > 1 && (text[len - 1] == '\r' || text[len - 1] == '\n')) {
        text[--len] = '\0';
    }
}

// G06 replaced by the kept records, G41 added, text closed: all or nothing,
// so that a request that would not fit is answered from its text as it came.
bool request_Rewrite(int k, const char* kept)
{
    char work[KMO_REQUEST_SIZE];
    std::memcpy(work, KMOClient_RequestBuffer, sizeof work);
    KMO_TranDelField(work, "G06");
    if (KMO_TranPutfield(work, sizeof work, "G06", kept) != 0 ||
        KMO_TranPutfield(work, sizeof work, "G41", Terminals[k]) != 0) {
        return false;
    }
    KMO_TranClose(work, sizeof work);
    const std::size_t len = std::strlen(work);
    if (len == 0 || work[len - 1] != '|') {
        return false;
    }
    std::memcpy(KMOClient_RequestBuffer, work, sizeof work);
    return true;
}

// The gateway failed us: probe the network, then answer locally with the
// probe's outcome as the origin flag. The caller logs the failure after this.
void request_AnswerUnreached(int k)
{
    const std::uint16_t flag = client_TestConnectivity();
    KMOClient_GenAutoResponse(k, flag);
}

// Request files that must not be served (again): one that was answered but
// could not be removed (its removal is tried again, quietly, on every pass),
// or an entry that is not a plain file (left alone). Each is logged once and
// skipped until it changes or goes away.
std::array<PLAT_FileId, KMO_MAX_TERMINALS> g_skipped{};

// Serves the request in the request buffer: checks, exchange, reply.
Leftover request_Serve(int k, std::time_t* heartbeatTimer, double start);

// Answers the request in flight for terminal k; it leaves flight once its
// reply is written.
Leftover request_Answer(int k, RequestFlaw flaw, std::time_t* heartbeatTimer, double start, Leftover left)
{
    const unsigned before = fileio_RepliesWritten();
    switch (flaw) {
    case RequestFlaw::TooLong:
        KMOClient_GenErrorResponse(k, "ND", "Receta demasiado larga");
        LOG_Write(17, "KMOClient_Process Receta demasiado larga");
        break;
    case RequestFlaw::BadChars:
        KMOClient_GenErrorResponse(k, "ND", "Receta con caracteres invalidos");
        LOG_Write(17, "KMOClient_Process Receta con caracteres invalidos");
        break;
    case RequestFlaw::None:
        request_Serve(k, heartbeatTimer, start);
        break;
    }
    if (fileio_RepliesWritten() != before) {
        inflight_End(k);
        return left;
    }
    LOG_Write(37, "KMOClient_Process la receta de [%s] queda pendiente", Terminals[k]);
    return Leftover::Unreadable;
}

}  // namespace

Leftover client_ServeTerminal(int k, std::time_t* heartbeatTimer)
{
    if (inflight_Pending(k)) {
        const double start = PLAT_MonotonicSeconds();
        RequestFlaw flaw = RequestFlaw::None;
        if (inflight_Load(k, &flaw) != 0) {
            return Leftover::None;   // nothing left to serve
        }
        return request_Answer(k, flaw, heartbeatTimer, start, Leftover::None);
    }
    char filePath[kFilePathSize];
    PLAT_FileId seen;
    if (!request_TerminalPath(k, "in.txt", filePath) || PLAT_FsIdOf(filePath, &seen) != 0) {
        g_skipped[k] = PLAT_FileId{};
        return Leftover::None;
    }
    if (g_skipped[k].kind != PLAT_FILE_NONE && PLAT_FileIdSame(seen, g_skipped[k])) {
        if (seen.kind == PLAT_FILE_PLAIN && PLAT_FsRemoveIfSame(filePath, seen, nullptr) == 0) {
            g_skipped[k] = PLAT_FileId{};
            return Leftover::None;
        }
        return Leftover::NotRemoved;
    }
    if (seen.kind == PLAT_FILE_PLAIN && !PLAT_FsReadable(filePath)) {
        return Leftover::None;
    }
    const double start = PLAT_MonotonicSeconds();

    RequestRead read;
    if (fileio_ReadRequest(filePath, &read) == -1) {
        if (seen.kind == PLAT_FILE_OTHER) {
            // A link, a FIFO, a directory...: never read, never followed.
            LOG_Write(17, "KMOClient_Process archivo [%s] no es un archivo comun, se ignora", filePath);
            g_skipped[k] = seen;
            return Leftover::NotRemoved;
        }
        LOG_Write(37, "KMOClient_Process ReadFileInput file [%s]", filePath);
        return Leftover::Unreadable;
    }
    const RequestFlaw flaw = read.tooLong ? RequestFlaw::TooLong
                             : read.hasNul ? RequestFlaw::BadChars
                                           : RequestFlaw::None;
    if (inflight_Begin(k, read.id, flaw) != 0) {
        return Leftover::Unreadable;   // stays in its file until it can be kept
    }
    int err = 0;
    Leftover left = Leftover::None;
    // Only the file that was read goes: a request written since stays.
    if (PLAT_FsRemoveIfSame(filePath, read.id, &err) != 0 && err != ESTALE) {
        left = Leftover::NotRemoved;
        g_skipped[k] = read.id;
        if (err == ENOENT) {
            LOG_Write(17, "KMOClient_Process borrando archivo [%s], ubicacion erronea", filePath);
        } else if (err == EACCES) {
            LOG_Write(17, "KMOClient_Process borrando archivo [%s], no pudo accederlo", filePath);
        } else {
            LOG_Write(17, "KMOClient_Process borrando archivo [%s]: %s", filePath, std::strerror(err));
        }
    }
    return request_Answer(k, flaw, heartbeatTimer, start, left);
}

namespace {

Leftover request_Serve(int k, std::time_t* heartbeatTimer, double start)
{
    char filePath[kFilePathSize];
    const Leftover left = Leftover::None;

    const std::uint16_t tranType = request_TranType(KMOClient_RequestBuffer);
    if (tranType == 0) {
        KMOClient_GenAutoResponse(k, 1);
        LOG_Write(17, "KMOClient_Process Tipo de transaccion invalido");
        return left;
    }

    request_StripLineEnds(KMOClient_RequestBuffer);

    // One byte more than the buffer holds, so that an over-long G06 shows.
    char g06[KMO_TROQUEL_SIZE + 1] = {};
    KMO_TranGetField(KMOClient_RequestBuffer, "G06", g06, sizeof g06);
    char kept[KMO_TROQUEL_SIZE];
    int keptCount = 0;
    switch (client_CheckTroqueles(g06, MaxTroqueles, kept, &keptCount)) {
    case TroquelCheck::BadFormat:
        KMOClient_GenErrorResponse(k, "ND", "Formato de Troquel invalido");
        LOG_Write(17, "KMOClient_Process Formato de Troquel invalido");
        return left;
    case TroquelCheck::TooMany:
        KMOClient_GenErrorResponse(k, "ND", "N\xFA" "mero de Troqueles invalido");
        LOG_Write(17, "KMOClient_Process N\xFA" "mero de Troqueles invalido");
        return left;
    case TroquelCheck::Ok:
        break;
    }

    int len = -1;
    if (request_Rewrite(k, kept)) {
        std::memset(KMOClient_SendBuffer, 0, sizeof KMOClient_SendBuffer);
        len = KMO_MakePacket(tranType, Name, KMOClient_RequestBuffer, KMOClient_SendBuffer,
                             sizeof KMOClient_SendBuffer);
    }
    if (len == -1) {
        KMOClient_GenAutoResponse(k, 1);
        LOG_Write(17, "KMOClient_Process KMO_MakePacket");
        return left;
    }

    const ExchangeResult ex = client_Exchange("KMOClient_Process", len, true);
    if (ex.fail != ExchangeFail::None) {
        request_AnswerUnreached(k);
        client_LogExchangeFailure("KMOClient_Process", ex);
        return left;
    }
    const char* reply = KMOClient_ReceiveBuffer + KMO_PACKET_HEADER_SIZE;
    LOG_Write(57, "");
    LOG_Write(57, "KMOClient_Process Recibio del Gateway:[%s]", reply);
    LOG_Write(57, "");
    LOG_Write(57, "Hubo una validacion, se reinicializa timer de vida");
    *heartbeatTimer = std::time(nullptr);

    if (KMO_TranHasField(reply, "F52") == 1) {
        if (!request_TerminalPath(k, "out.txt", filePath) || KMOClient_WriteFileOutput(filePath, reply) == -1) {
            LOG_Write(17, "KMOClient_Process WriteFileOutput");
        }
    } else {
        KMOClient_GenAutoResponse(k, 1);
        LOG_Write(17, "KMOClient_Process no existe campo F52 en el mensaje de respuesta");
    }

    LOG_Write(77, "");
    LOG_Write(77, "KMOClient_Process tardo %lf segundos en procesar una receta", PLAT_MonotonicSeconds() - start);
    LOG_Write(77, "");
    return left;
}

}  // namespace
