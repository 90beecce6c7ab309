// Start-up and shutdown of the client: the command line into the settings, the
// log, the socket layer; and their release in reverse.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <string>
#include <string_view>

#include "dirwait.h"
#include "kmo_socket.h"
#include "kmoclient.h"
#include "kmoclient_internal.h"
#include "log.h"
#include "plat_proc.h"

namespace {

constexpr const char* kOptions = "g:l:n:r:t:w:b:T:c:L:p:F:o:s:";
constexpr const char* kIndent = "                            ";   // 28 blanks

// atoi's reading (blanks, sign, digits, stop at the first other character),
// without its undefined overflow: values beyond int are clamped.
int init_Number(const char* text)
{
    const long long v = std::strtoll(text, nullptr, 10);
    if (v > INT_MAX) {
        return INT_MAX;
    }
    if (v < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(v);
}

// A value that does not fit its field is refused: a cut name would make the
// client serve another directory or send another name.
bool init_TooLong(char option, std::string_view value, std::size_t limit, const char* what)
{
    if (value.size() <= limit) {
        return false;
    }
    std::fprintf(stderr, "kmoclient: -%c admite %s de a lo sumo %zu caracteres\n", option, what, limit);
    return true;
}

// Copies a value already checked against the field's size.
template <std::size_t N>
void init_Copy(char (&field)[N], std::string_view value)
{
    std::memset(field, 0, N);
    std::memcpy(field, value.data(), value.size());
}

// -g host[:port]
bool init_Gateway(const char* arg)
{
    const std::string_view text(arg);
    const std::size_t colon = text.find(':');
    const std::string_view host = text.substr(0, colon);
    if (init_TooLong('g', host, KMO_HOST_SIZE - 1, "un host")) {
        return false;
    }
    if (colon != std::string_view::npos) {
        PortGateway = init_Number(arg + colon + 1);
    }
    init_Copy(HostGateway, host);
    return true;
}

// A terminal's files must stay under RootPath: no ".." component.
bool init_LeavesRoot(std::string_view name)
{
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t end = std::min(name.find_first_of("/\\", start), name.size());
        if (name.substr(start, end - start) == "..") {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// -t name[,name...]: the whole table is replaced, empty pieces included.
bool init_Terminals(const char* arg)
{
    const std::string_view text(arg);
    std::size_t count = 1;
    for (char ch : text) {
        count += ch == ',' ? 1 : 0;
    }
    if (count > static_cast<std::size_t>(KMO_MAX_TERMINALS)) {
        std::fprintf(stderr, "kmoclient: -t admite a lo sumo %d terminales\n", KMO_MAX_TERMINALS);
        return false;
    }
    std::size_t start = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t end = std::min(text.find(',', start), text.size());
        if (init_TooLong('t', text.substr(start, end - start), KMO_TERMINAL_NAME_MAX,
                         "nombres de terminal")) {
            return false;
        }
        if (init_LeavesRoot(text.substr(start, end - start))) {
            std::fprintf(stderr, "kmoclient: -t no admite '..' en un nombre de terminal\n");
            return false;
        }
        start = end + 1;
    }
    start = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t end = std::min(text.find(',', start), text.size());
        init_Copy(Terminals[k], text.substr(start, end - start));
        start = end + 1;
    }
    TerminalCount = static_cast<std::uint16_t>(count);
    return true;
}

// Applies one option; false makes the command line invalid.
bool init_Apply(int option, const char* arg)
{
    switch (option) {
    case 'g':
        return init_Gateway(arg);
    case 'l': {
        // LOG_Open cuts its argument at the commas; keep argv as it came.
        std::string spec(arg);
        LOG_Open(1, 1, spec.data());
        return true;
    }
    case 'n':
        if (init_TooLong('n', arg, KMO_NAME_SIZE - 1, "un nombre")) {
            return false;
        }
        init_Copy(Name, arg);
        return true;
    case 'r':
        if (init_TooLong('r', arg, KMO_ROOT_SIZE - 1, "un directorio")) {
            return false;
        }
        init_Copy(RootPath, arg);
        return true;
    case 't':
        return init_Terminals(arg);
    case 'w':
        WaitMode = static_cast<std::uint16_t>(init_Number(arg));
        return true;
    case 'T':
        WaitTimeout = init_Number(arg);
        return true;
    case 'c':
        MaxTroqueles = init_Number(arg);
        return true;
    case 'L':
        NormalizeReply = init_Number(arg) == 1 ? 1 : 0;
        return true;
    case 'p':
        HeartbeatPeriod = init_Number(arg);
        return true;
    case 's':
        ExchangeTimeout = init_Number(arg);
        return true;
    case 'F':
        if (init_TooLong('F', arg, KMO_FARM_SIZE - 1, "un codigo de farmacia")) {
            return false;
        }
        init_Copy(FarmCode, arg);
        return true;
    default:
        // '?' from the parser, and -b and -o, which mean nothing.
        return false;
    }
}

void init_LogSettings()
{
    LOG_Write(57, "Inicializado con parametros: ");
    LOG_Write(57, "%sName=[%s] ", kIndent, Name);
    LOG_Write(57, "%sHostGateway=[%s] ", kIndent, HostGateway);
    LOG_Write(57, "%sPortGateway=[%d] ", kIndent, PortGateway);
    LOG_Write(57, "%sRootPath=[%s] ", kIndent, RootPath);
    for (int k = 0; k < TerminalCount; ++k) {
        LOG_Write(57, "%sTerminals[%d]=[%s] ", kIndent, k, Terminals[k]);
    }
    LOG_Write(57, "%sWaitTimeout=[%d] ", kIndent, WaitTimeout);
}

}  // namespace

int KMOClient_Init(int argc, char* argv[])
{
    std::memset(Name, 0, sizeof Name);
    std::memset(RootPath, 0, sizeof RootPath);
    std::memset(HostGateway, 0, sizeof HostGateway);
    std::strcpy(HostGateway, "localhost");
    WaitTimeout = 21600000;
    WaitMode = 0;
    ExchangeTimeout = 30;

    PLAT_SetOptInd(0);
    bool valid = true;
    int option;
    while (valid && (option = PLAT_GetOpt(argc, argv, kOptions)) != -1) {
        const char* arg = PLAT_OptArg();
        valid = init_Apply(option, arg != nullptr ? arg : "");
    }
    if (!valid || Name[0] == '\0' || RootPath[0] == '\0') {
        return -1;
    }

    init_LogSettings();
    SOCKET_Init(nullptr);
    return 0;
}

void KMOClient_Exit()
{
    LOG_Write(77, "KMOClient_Exit Entry");
    client_PauseEnd();
    SOCKET_Exit();
    LOG_Close();
}
