// Win32 side of plat_proc.h: the stop requests are the console's control
// events. Ctrl+C, Ctrl+Break and the closing of the console (or the end of the
// session) set the stop flag and the stop event, which ends a pending pause.
// The handler runs on a thread of its own that the system starts for it.
#include "plat_proc.h"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "stop_event_win32.h"

#ifndef SIGBREAK
#define SIGBREAK 21
#endif

namespace {

std::atomic<int> g_stopSignal{0};
std::atomic<bool> g_wakeSet{false};
sockaddr_in g_wake{};   // written before g_wakeSet

// After a close, logoff or shutdown event the system ends the process as soon
// as the handler returns; this much time is left to the main thread to finish.
constexpr DWORD kCloseGraceMs = 4000;

int proc_SignalOf(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
        return SIGINT;
    case CTRL_BREAK_EVENT:
        return SIGBREAK;
    default:
        return SIGTERM;   // the console closes, the user logs off, the system shuts down
    }
}

void proc_WakeListener()
{
    if (!g_wakeSet.load()) {
        return;
    }
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        return;
    }
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s != INVALID_SOCKET) {
        (void)::connect(s, reinterpret_cast<const sockaddr*>(&g_wake), sizeof g_wake);
        ::closesocket(s);
    }
    WSACleanup();
}

void proc_Stop(int sig)
{
    int expected = 0;
    g_stopSignal.compare_exchange_strong(expected, sig);
    const HANDLE stop = win32_StopEvent();
    if (stop != nullptr) {
        SetEvent(stop);
    }
    proc_WakeListener();
}

BOOL WINAPI proc_OnConsoleEvent(DWORD event)
{
    proc_Stop(proc_SignalOf(event));
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        Sleep(kCloseGraceMs);
    }
    return TRUE;
}

}  // namespace

HANDLE win32_StopEvent()
{
    static const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event;
}

int PLAT_InstallStopSignals()
{
    if (win32_StopEvent() == nullptr) {
        return -1;
    }
    // A process started with Ctrl+C ignored (a detached child) takes it again.
    SetConsoleCtrlHandler(nullptr, FALSE);
    return SetConsoleCtrlHandler(proc_OnConsoleEvent, TRUE) ? 0 : -1;
}

int PLAT_StopSignalsWakeAt(const char* dotted, int port)
{
    if (dotted == nullptr || port <= 0 || port > 65535) {
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, dotted, &addr.sin_addr) != 1) {
        return -1;
    }
    g_wakeSet = false;
    g_wake = addr;
    g_wakeSet = true;
    return 0;
}

int PLAT_StopSignal()
{
    return g_stopSignal.load();
}

int PLAT_StopRequested()
{
    return g_stopSignal.load() != 0 ? 1 : 0;
}

void PLAT_ClearStopSignal()
{
    g_stopSignal = 0;
    const HANDLE stop = win32_StopEvent();
    if (stop != nullptr) {
        ResetEvent(stop);
    }
}

// The console's events reach only processes attached to it; a request from
// within takes the handler's own path.
int PLAT_RaiseStop(int sig)
{
    if (sig != SIGTERM && sig != SIGINT && sig != SIGBREAK) {
        return -1;
    }
    proc_Stop(sig);
    return 0;
}

const char* PLAT_SignalName(int sig)
{
    switch (sig) {
    case SIGTERM:
        return "SIGTERM";
    case SIGINT:
        return "SIGINT";
    case SIGBREAK:
        return "SIGBREAK";
    default:
        return "senal desconocida";
    }
}

// Windows has no signal that asks for the log to be reopened: the log is
// reopened on the client's own schedule only. Nothing to install, and never a
// request.
int PLAT_InstallReopenSignal()
{
    return 0;
}

int PLAT_TakeReopenRequest()
{
    return 0;
}

// Handles are small multiples of four. Files, pipes, consoles and sockets are
// counted: the handles that the system makes for itself on the way (events,
// threads) come and go on their own and would hide a leak or fake one.
int PLAT_OpenHandleCount()
{
    constexpr std::uintptr_t kHighestProbed = 0x20000;
    int count = 0;
    for (std::uintptr_t h = 4; h <= kHighestProbed; h += 4) {
        const HANDLE handle = reinterpret_cast<HANDLE>(h);
        DWORD flags = 0;
        if (!GetHandleInformation(handle, &flags)) {
            continue;
        }
        SetLastError(NO_ERROR);
        if (GetFileType(handle) != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR) {
            ++count;
        }
    }
    return count;
}
