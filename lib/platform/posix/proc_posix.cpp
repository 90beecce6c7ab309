// POSIX side of plat_proc.h.
#include "plat_proc.h"

#include <csignal>
#include <string>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_stopSignal = 0;

volatile std::sig_atomic_t g_reopen = 0;

extern "C" void proc_OnReopenSignal(int)
{
    g_reopen = 1;
}

extern "C" void proc_OnStopSignal(int sig)
{
    if (g_stopSignal == 0) {
        g_stopSignal = sig;
    }
}

}  // namespace

int PLAT_GetOpt(int argc, char* const argv[], const char* optstring)
{
    // A leading '-' makes glibc hand over every word that is not an option as
    // the code 1 instead of stopping there (POSIXLY_CORRECT) or reordering argv.
    if (argc < 1 || argv == nullptr) {
        return -1;
    }
    std::string ordered = "-";
    ordered += optstring != nullptr ? optstring : "";
    int c;
    do {
        c = ::getopt(argc, argv, ordered.c_str());
    } while (c == 1);
    return c;
}

const char* PLAT_OptArg()
{
    return ::optarg;
}

int PLAT_OptInd()
{
    return ::optind;
}

void PLAT_SetOptInd(int index)
{
    ::optind = index;
}

void PLAT_SetOptErr(int enabled)
{
    ::opterr = enabled;
}

int PLAT_InstallStopSignals()
{
    struct sigaction sa {};
    sa.sa_handler = proc_OnStopSignal;
    sigemptyset(&sa.sa_mask);
    // Restart interrupted file and socket calls; sleeps and polls still end early.
    sa.sa_flags = SA_RESTART;
    int rc = 0;
    if (sigaction(SIGTERM, &sa, nullptr) != 0 || sigaction(SIGINT, &sa, nullptr) != 0) {
        rc = -1;
    }
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    if (sigaction(SIGPIPE, &ign, nullptr) != 0) {
        rc = -1;
    }
    return rc;
}

int PLAT_StopSignal()
{
    return static_cast<int>(g_stopSignal);
}

void PLAT_ClearStopSignal()
{
    g_stopSignal = 0;
}

const char* PLAT_SignalName(int sig)
{
    switch (sig) {
    case SIGTERM:
        return "SIGTERM";
    case SIGINT:
        return "SIGINT";
    default:
        return "senal desconocida";
    }
}

int PLAT_InstallReopenSignal()
{
    struct sigaction sa {};
    sa.sa_handler = proc_OnReopenSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    return sigaction(SIGHUP, &sa, nullptr) == 0 ? 0 : -1;
}

int PLAT_TakeReopenRequest()
{
    if (g_reopen == 0) {
        return 0;
    }
    g_reopen = 0;
    return 1;
}
