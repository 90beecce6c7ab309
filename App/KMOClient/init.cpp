// Start-up and shutdown of the client: the command line into the settings, the
// log, the socket layer; and their release in reverse.
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <filesystem>
#include <string>
#include <string_view>

#include "dirwait.h"
#include "kmo_socket.h"
#include "kmoclient.h"
#include "kmoclient_internal.h"
#include "log.h"
#include "plat_fs.h"
#include "plat_proc.h"

namespace {

constexpr const char* kOptions = "g:l:n:r:t:w:b:T:c:L:p:F:o:s:hV";
constexpr const char* kIndent = "                            ";   // 28 blanks

constexpr int kHelp = 1;   // KMOClient_Init's result after -h or -V

// One refusal: why, on one line, then where to look. Always false, so that a
// check can `return init_Refuse(...)`.
bool init_Refuse(const char* format, ...) KMO_PRINTF(1, 2);
bool init_Refuse(const char* format, ...)
{
    std::fputs("kmoclient: ", stderr);
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stderr, format, ap);
    va_end(ap);
    std::fputs("\ntry 'kmoclient -h'\n", stderr);
    return false;
}

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

// A whole number from `low` to `high`, nothing around it. A value that is not
// one, or lies outside, is refused: "-T abc" would otherwise poll without a pause.
bool init_Bounded(char option, const char* text, long long low, long long high, int* out)
{
    const std::string_view digits(text);
    std::size_t at = (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) ? 1 : 0;
    if (at == digits.size() || digits.size() > 20) {
        return init_Refuse("-%c: '%s' is not a whole number", option, text);
    }
    for (; at < digits.size(); ++at) {
        if (digits[at] < '0' || digits[at] > '9') {
            return init_Refuse("-%c: '%s' is not a whole number", option, text);
        }
    }
    errno = 0;
    const long long v = std::strtoll(text, nullptr, 10);
    if (errno == ERANGE || v < low || v > high) {
        return init_Refuse("-%c: %s is out of range (%lld to %lld)", option, text, low, high);
    }
    *out = static_cast<int>(v);
    return true;
}

// A value that does not fit its field is refused: a cut name would make the
// client serve another directory or send another name.
bool init_TooLong(char option, std::string_view value, std::size_t limit)
{
    if (value.size() <= limit) {
        return false;
    }
    init_Refuse("-%c: too long, at most %zu characters", option, limit);
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
    if (init_TooLong('g', host, KMO_HOST_SIZE - 1)) {
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

// One name of a -t list; every check on a terminal name goes here.
bool init_TerminalName(std::string_view name)
{
    if (init_LeavesRoot(name)) {
        return init_Refuse("-t: a terminal name may not have a '..' component");
    }
    return !init_TooLong('t', name, KMO_TERMINAL_NAME_MAX);
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
        return init_Refuse("-t: too many terminals, at most %d", KMO_MAX_TERMINALS);
    }
    std::size_t start = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t end = std::min(text.find(',', start), text.size());
        if (!init_TerminalName(text.substr(start, end - start))) {
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

// -l: the log is opened at once. One that cannot be opened is said here; its
// records then go to standard output.
void init_Log(const char* arg)
{
    // LOG_Open cuts its argument at the commas; keep argv as it came.
    std::string spec(arg);
    LOG_Open(1, 1, spec.data());
    if (spec[0] != '\0' && LOG_OpenError() != 0) {
        std::fprintf(stderr, "kmoclient: -l: cannot open the log file %s: %s; records go to standard output\n",
                     spec.c_str(), std::strerror(LOG_OpenError()));
    }
}

// Applies one option; false makes the command line invalid.
bool init_Apply(int option, const char* arg)
{
    switch (option) {
    case 'g':
        return init_Gateway(arg);
    case 'l':
        init_Log(arg);
        return true;
    case 'n':
        if (init_TooLong('n', arg, KMO_NAME_SIZE - 1)) {
            return false;
        }
        init_Copy(Name, arg);
        return true;
    case 'r':
        if (init_TooLong('r', arg, KMO_ROOT_SIZE - 1)) {
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
        return init_Bounded('T', arg, 0, INT_MAX, &WaitTimeout);
    case 'c':
        return init_Bounded('c', arg, 0, 99, &MaxTroqueles);
    case 'L':
        NormalizeReply = init_Number(arg) == 1 ? 1 : 0;
        return true;
    case 'p':
        return init_Bounded('p', arg, -1, INT_MAX, &HeartbeatPeriod);
    case 's':
        return init_Bounded('s', arg, 0, INT_MAX, &ExchangeTimeout);
    case 'F':
        if (init_TooLong('F', arg, KMO_FARM_SIZE - 1)) {
            return false;
        }
        init_Copy(FarmCode, arg);
        return true;
    case 'b':
    case 'o':
        return init_Refuse("option -%c is not supported", option);
    default:
        // '?': the parser has said which letter is unknown or lacks its value.
        std::fputs("try 'kmoclient -h'\n", stderr);
        return false;
    }
}

// The checks that need the whole command line.
bool init_Complete()
{
    if (Name[0] == '\0') {
        return init_Refuse("-n NAME is required");
    }
    if (RootPath[0] == '\0') {
        return init_Refuse("-r DIR is required");
    }
    std::error_code ec;
    if (!std::filesystem::is_directory(RootPath, ec)) {
        return init_Refuse("-r: %s is not a directory%s%s", RootPath, ec ? ": " : "",
                           ec ? ec.message().c_str() : "");
    }
    return true;
}

// --help and --version are the long spellings of -h and -V.
int init_LongOption(int argc, char* argv[])
{
    for (int i = 1; i < argc && argv[i] != nullptr && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            return 'h';
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            return 'V';
        }
    }
    return 0;
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
    if (argc < 1 || argv == nullptr) {
        return -1;
    }

    int option = init_LongOption(argc, argv);
    PLAT_SetOptInd(0);
    bool valid = true;
    while (valid && option == 0 && (option = PLAT_GetOpt(argc, argv, kOptions)) != -1) {
        if (option == 'h' || option == 'V') {
            break;
        }
        const char* arg = PLAT_OptArg();
        valid = init_Apply(option, arg != nullptr ? arg : "");
        option = 0;
    }
    if (valid && option == 'h') {
        client_PrintUsage(stdout);
        return kHelp;
    }
    if (valid && option == 'V') {
        client_PrintVersion(stdout);
        return kHelp;
    }
    if (!valid || !init_Complete()) {
        return -1;
    }

    // The terminals own what lies under the root: no link there may take a
    // terminal's files elsewhere.
    PLAT_FsConfine(RootPath);
    init_LogSettings();
    SOCKET_Init(nullptr);
    return 0;
}

void KMOClient_Exit()
{
    LOG_Write(77, "KMOClient_Exit Entry");
    client_HealthStopping();
    client_PauseEnd();
    SOCKET_Exit();
    LOG_Close();
}
