// Forwarding of the locally pre-authorised prescriptions: the oldest records
// of kmoautoresp.txt go to the gateway one by one, at most five per call; the
// gateway's accepting replies are kept in kmoautorespvalid.txt, and the records
// dealt with leave kmoautoresp.txt. A record that was not dealt with is never
// lost: the file is replaced in one step by its remaining lines.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kmo_packet.h"
#include "kmo_socket.h"
#include "kmo_tran.h"
#include "kmoclient.h"
#include "kmoclient_internal.h"
#include "log.h"
#include "plat_fs.h"

namespace {

constexpr int kMaxPerCall = 5;

// One record. A record is a request of up to 1024 characters stamped with its
// authorisation number, so it can be longer than the request buffer; this
// holds the longest text that a packet can carry.
char g_record[KMO_PACKET_SIZE - KMO_PACKET_HEADER_SIZE + 1];

// RAII for the record files.
class File {
public:
    File(const char* name, const char* mode) : f_(std::fopen(name, mode)) {}
    ~File() { close(); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    std::FILE* get() const { return f_; }
    // 0, or EOF when buffered data could not be written.
    int close()
    {
        const int rc = f_ != nullptr ? std::fclose(f_) : 0;
        f_ = nullptr;
        return rc;
    }

private:
    std::FILE* f_;
};

// Reads one record, a whole line of any length, into g_record without its
// line end (LF, and any CR before it). False at the end of the file with
// nothing read. A record longer than a packet can carry sets *tooLong and
// keeps only its beginning.
bool batch_ReadRecord(std::FILE* in, bool* tooLong)
{
    std::memset(g_record, 0, sizeof g_record);
    *tooLong = false;
    std::size_t len = 0;
    bool any = false;
    int c;
    while ((c = std::getc(in)) != EOF) {
        any = true;
        if (c == '\n') {
            break;
        }
        if (len < sizeof g_record - 1) {
            g_record[len++] = static_cast<char>(c);
        } else {
            *tooLong = true;
        }
    }
    while (len > 0 && g_record[len - 1] == '\r') {
        g_record[--len] = '\0';
    }
    return any;
}

// Copies or skips one line of `in`; a copied line always ends in "\n".
// False at the end of the file with nothing read.
bool batch_CopyLine(std::FILE* in, std::FILE* out)
{
    bool any = false;
    int c;
    while ((c = std::getc(in)) != EOF && c != '\n') {
        any = true;
        if (out != nullptr) {
            std::putc(c, out);
        }
    }
    if (c == '\n') {
        any = true;
    }
    if (any && out != nullptr) {
        std::putc('\n', out);
    }
    return any;
}

// The packet type of a record, with 000021/000011 turned back into the
// request's own code; 0 for a record that is not to be sent, -1 for one whose
// rewrite does not fit the buffer.
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

// One exchange with the gateway for the record in the request buffer.
// 0 when the gateway accepted it, -1 (logged) otherwise.
int batch_Forward(std::uint16_t tranType)
{
    std::memset(KMOClient_SendBuffer, 0, sizeof KMOClient_SendBuffer);
    int len = KMO_MakePacket(tranType, Name, g_record, KMOClient_SendBuffer,
                             sizeof KMOClient_SendBuffer);
    if (len == -1) {
        LOG_Write(17, "KMOClient_EnviarRecetasPreautorizadas KMO_MakePacket");
        return -1;
    }
    char gatewayName[KMO_GATEWAY_NAME_SIZE];
    client_GatewayName(gatewayName);
    const int conn = SOCKET_Open(gatewayName);
    if (conn == -1) {
        LOG_Write(17, "KMOClient_EnviarRecetasPreautorizadas conectandose al gateway en [%s]", gatewayName);
        return -1;
    }
    if (SOCKET_Send(conn, KMOClient_SendBuffer, &len) == -1) {
        LOG_Write(17, "KMOClient_EnviarRecetasPreautorizadas SOCKET_Send");
        SOCKET_Close(conn, 2);
        return -1;
    }
    LOG_Write(57, "");
    LOG_Write(57, "KMOClient_EnviarRecetasPreautorizadas Envio hacia el Gateway:[%s]",
              KMOClient_SendBuffer + KMO_PACKET_HEADER_SIZE);
    LOG_Write(57, "");

    // One byte less than the buffer, so the reply text always ends in a NUL.
    std::memset(KMOClient_ReceiveBuffer, 0, sizeof KMOClient_ReceiveBuffer);
    if (SOCKET_Receive(conn, KMOClient_ReceiveBuffer, static_cast<int>(sizeof KMOClient_ReceiveBuffer) - 1,
                       &len) == -1) {
        LOG_Write(17, "KMOClient_EnviarRecetasPreautorizadas SOCKET_Receive");
        SOCKET_Close(conn, 2);
        return -1;
    }
    SOCKET_Close(conn, 2);
    const char* reply = KMOClient_ReceiveBuffer + KMO_PACKET_HEADER_SIZE;
    LOG_Write(57, "");
    LOG_Write(57, "KMOClient_EnviarRecetasPreautorizadas Recibio del Gateway:[%s]", reply);
    LOG_Write(57, "");

    // "ER" refuses the record; so does a reply with no text at all.
    const char* code = KMO_TranGetField(reply, "F50", nullptr, 0);
    if (reply[0] == '\0' || code == nullptr || std::strcmp(code, "ER") == 0) {
        LOG_Write(17, "KMOClient_EnviarRecetasPreautorizadas dio error en la validacion");
        return -1;
    }
    File valid(KMO_FILE_AUTORESP_VALID, "a");
    if (valid.get() != nullptr) {
        std::fprintf(valid.get(), "%s\n", reply);
    }
    return 0;
}

// Replaces kmoautoresp.txt by its lines after the first `dealt`. Any failure
// before the replacement leaves kmoautoresp.txt as it was.
void batch_Rewrite(int dealt)
{
    File in(KMO_FILE_AUTORESP, "r");
    File out(KMO_FILE_AUTORESP_TMP, "w");   // afresh: a leftover must not add lines
    if (in.get() == nullptr || out.get() == nullptr) {
        return;
    }
    for (int line = 0; batch_CopyLine(in.get(), line >= dealt ? out.get() : nullptr); ++line) {
    }
    const bool readFailed = std::ferror(in.get()) != 0;
    const bool writeFailed = std::ferror(out.get()) != 0 || PLAT_FsSyncStream(out.get()) != 0;
    in.close();
    if (out.close() != 0 || readFailed || writeFailed) {
        PLAT_FsRemove(KMO_FILE_AUTORESP_TMP, nullptr);
        return;
    }
    if (PLAT_FsReplace(KMO_FILE_AUTORESP_TMP, KMO_FILE_AUTORESP, nullptr) != 0) {
        LOG_Write(17, "KMOClient_EnviarRecetasPreautorizadas renombrando archivo kmoautoresp.tmp como kmoautoresp.txt");
    }
}

// Every record was dealt with: nothing is pending any more.
void batch_RemoveAll()
{
    int err = 0;
    if (PLAT_FsRemove(KMO_FILE_AUTORESP, &err) == 0) {
        return;
    }
    if (err == ENOENT) {
        LOG_Write(17, "KMOClient_EnviarRecetasPreautorizadas borrando archivo kmoautoresp.txt, ubicacion erronea");
    } else if (err == EACCES) {
        LOG_Write(17, "KMOClient_EnviarRecetasPreautorizadas borrando archivo kmoautoresp.txt, no pudo accederlo");
    }
}

}  // namespace

int KMOClient_EnviarRecetasPreautorizadas()
{
    LOG_Write(77, "KMOClient_EnviarRecetasPreautorizadas Entry");
    int retCode = 0;
    int dealt = 0;
    {
        File in(KMO_FILE_AUTORESP, "r");
        if (in.get() == nullptr) {
            LOG_Write(17, "KMOClient_EnviarRecetasPreautorizadas abriendo archivo de recetas preautorizadas para lectura");
            retCode = -1;
        }
        bool tooLong = false;
        while (retCode == 0 && batch_ReadRecord(in.get(), &tooLong)) {
            if (dealt == kMaxPerCall) {
                LOG_Write(17, "KMOClient_EnviarRecetasPreautorizadas envio 5 recetas y sale");
                retCode = -1;
                break;
            }
            const int tranType = tooLong ? -1 : batch_TranType();
            if (tranType == 0) {
                ++dealt;
                LOG_Write(17, "KMOClient_EnviarRecetasPreautorizadas Tipo de transaccion invalido");
                continue;
            }
            if (tranType == -1) {
                // A record that cannot be sent stays in the file, first in line.
                LOG_Write(17, "KMOClient_EnviarRecetasPreautorizadas KMO_MakePacket");
                retCode = -1;
                break;
            }
            if (batch_Forward(static_cast<std::uint16_t>(tranType)) != 0) {
                retCode = -1;
                break;
            }
            ++dealt;
        }
        if (retCode == 0 && in.get() != nullptr && std::ferror(in.get()) != 0) {
            LOG_Write(17, "KMOClient_EnviarRecetasPreautorizadas leyendo archivo de recetas preautorizadas");
            retCode = -1;
        }
    }

    if (retCode == 0) {
        batch_RemoveAll();
    } else if (dealt > 0) {
        batch_Rewrite(dealt);
    }
    LOG_Write(77, "KMOClient_EnviarRecetasPreautorizadas Exit RetCode=[%d]", retCode);
    return retCode;
}
