// The socket layer's shared state: the 256-slot connection table, the master
// read set and the ready set, the multithreaded mode flag and the named lock
// "kmosock.mutex"; start-up, shutdown and the locked slot protocol.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "kmo_socket.h"
#include "log.h"
#include "plat_lock.h"
#include "plat_sock.h"
#include "socket_internal.h"

#ifndef KMO_BARRED_PEER
#define KMO_BARRED_PEER "192.0.2.13"
#endif

namespace {

// A slot's Socket is PLAT_SOCK_BAD (-1 on POSIX) when free and 0 while taken
// but not yet filled (no Winsock socket is 0 either). The fields are atomics
// because in multithreaded mode a thread stores into the slot it took outside
// the lock while others scan the table under it.
struct Slot {
    std::atomic<PLAT_Sock> Socket{0};
    std::atomic<std::uint16_t> IsServer{0};
};

// A counted socket set of 64 members.
struct SocketSet {
    std::uint32_t count = 0;
    std::array<PLAT_Sock, SOCKET_SET_SIZE> members{};
};

constexpr const char* kLockName = "kmosock.mutex";
constexpr std::uint32_t kLockWaitMs = 1000;

// Before the first SOCKET_Init everything holds zeros (every slot reads as taken).
std::array<Slot, SOCKET_TABLE_SIZE> g_table;
SocketSet g_readSet;
SocketSet g_readySet;
PLAT_Sock g_highest = 0;
std::atomic<bool> g_multithreaded{false};

// The reference made at start-up; it stays open for the life of the process so
// that the name stays valid for the opens of the protocol.
PLAT_NamedLock* g_lockRef = nullptr;
char g_lockName[64] = "kmosock.mutex";
char g_lockRefName[64] = "";

std::uint32_t g_listenAddress = 0;   // 0.0.0.0: every interface
char g_barredPeer[16] = KMO_BARRED_PEER;
std::atomic<SocketResolver> g_resolver{nullptr};

bool socket_InRange(int id)
{
    return id >= 0 && id < SOCKET_TABLE_SIZE;
}

void socket_SetRemove(SocketSet& set, PLAT_Sock s)
{
    for (std::uint32_t i = 0; i < set.count; ++i) {
        if (set.members[i] == s) {
            for (std::uint32_t j = i + 1; j < set.count; ++j) {
                set.members[j - 1] = set.members[j];
            }
            --set.count;
            return;
        }
    }
}

// Creates the named lock unless this process already holds a reference to it.
int socket_CreateLock()
{
    if (g_lockRef != nullptr && std::strcmp(g_lockRefName, g_lockName) == 0) {
        return 0;
    }
    PLAT_NamedLock* lock = PLAT_LockCreate(g_lockName);
    if (lock == nullptr) {
        return -1;
    }
    PLAT_LockClose(g_lockRef);
    g_lockRef = lock;
    std::snprintf(g_lockRefName, sizeof g_lockRefName, "%s", g_lockName);
    return 0;
}

// One cycle of the locked slot protocol. `take` chooses HANDLE_Get or HANDLE_Free.
int socket_LockedCycle(bool take, int id, const SocketLockTexts& texts)
{
    PLAT_NamedLock* lock = PLAT_LockOpen(g_lockName);
    if (lock == nullptr) {
        LOG_Write(SOCKET_LOG_ERROR, "%s", texts.cannotOpen);
        return -1;
    }
    LOG_Write(SOCKET_LOG_DEBUG, "%s", texts.opened);
    int result = -1;
    if (PLAT_LockWait(lock, kLockWaitMs) == PLAT_LOCK_ACQUIRED) {
        LOG_Write(SOCKET_LOG_DEBUG, "%s", texts.acquired);
        if (take) {
            result = HANDLE_Get();
        } else {
            HANDLE_Free(id);
            result = 0;
        }
    } else {
        LOG_Write(SOCKET_LOG_ERROR, "%s", texts.waitFailed);
    }
    PLAT_LockRelease(lock);
    LOG_Write(SOCKET_LOG_DEBUG, texts.released, take ? result : id);
    PLAT_LockClose(lock);
    return result;
}

}  // namespace

int SOCKET_Init(const char* options)
{
    if (PLAT_SockStartup() != 0) {
        LOG_Write(SOCKET_LOG_ERROR, "SOCKET_Init WSAStartup failed");
        return -1;
    }
    if (socket_CreateLock() != 0) {
        LOG_Write(3, "HANDLE_Init CreateMutex");
        return -1;
    }
    HANDLE_Reset();
    g_readSet.count = 0;
    g_readySet.count = 0;
    if (options != nullptr && std::strchr(options, 'T') != nullptr) {
        g_multithreaded = true;
        LOG_Write(SOCKET_LOG_INFO, "SOCKET_Init multithreaded");
    }
    return 0;
}

int SOCKET_Exit()
{
    PLAT_SockCleanup();
    HANDLE_Reset();
    return 0;
}

void HANDLE_Reset()
{
    for (Slot& slot : g_table) {
        slot.Socket.store(PLAT_SOCK_BAD, std::memory_order_relaxed);
        slot.IsServer.store(0, std::memory_order_relaxed);
    }
}

int HANDLE_Get()
{
    for (int i = 0; i < SOCKET_TABLE_SIZE; ++i) {
        if (g_table[i].Socket.load(std::memory_order_relaxed) == PLAT_SOCK_BAD) {
            g_table[i].Socket.store(0, std::memory_order_relaxed);
            return i;
        }
    }
    return -1;
}

void HANDLE_Free(int id)
{
    if (!socket_InRange(id)) {
        return;
    }
    g_table[id].Socket.store(PLAT_SOCK_BAD, std::memory_order_relaxed);
    g_table[id].IsServer.store(0, std::memory_order_relaxed);
}

PLAT_Sock socket_SlotSocket(int id)
{
    return socket_InRange(id) ? g_table[id].Socket.load(std::memory_order_relaxed) : PLAT_SOCK_BAD;
}

std::uint16_t socket_SlotIsServer(int id)
{
    return socket_InRange(id) ? g_table[id].IsServer.load(std::memory_order_relaxed) : 0;
}

void socket_SlotStore(int id, PLAT_Sock s, std::uint16_t isServer)
{
    if (!socket_InRange(id)) {
        return;
    }
    g_table[id].Socket.store(s, std::memory_order_relaxed);
    g_table[id].IsServer.store(isServer, std::memory_order_relaxed);
}

bool socket_Multithreaded()
{
    return g_multithreaded;
}

void socket_ReadSetAdd(PLAT_Sock s)
{
    if (g_readSet.count < SOCKET_SET_SIZE) {
        g_readSet.members[g_readSet.count++] = s;
    }
}

void socket_ReadSetRemove(PLAT_Sock s)
{
    socket_SetRemove(g_readSet, s);
}

void socket_ReadSetRegister(PLAT_Sock s)
{
    socket_ReadSetAdd(s);
    if (s > g_highest) {
        g_highest = s;
    }
}

int socket_TakeSlot(const SocketLockTexts& texts)
{
    return socket_Multithreaded() ? socket_LockedCycle(true, -1, texts) : HANDLE_Get();
}

int socket_FreeSlot(int id, const SocketLockTexts& texts)
{
    if (socket_Multithreaded()) {
        return socket_LockedCycle(false, id, texts);
    }
    HANDLE_Free(id);
    return 0;
}

int SOCKET_Select()
{
    g_readySet = g_readSet;
    if (PLAT_SockWaitReadable(g_readySet.members.data(), &g_readySet.count, g_highest + 1) != 0) {
        LOG_Write(SOCKET_LOG_ERROR, "SOCKET_Select select()");
        return -1;
    }
    return 0;
}

std::uint16_t SOCKET_IsSet(int id)
{
    const PLAT_Sock s = socket_SlotSocket(id);
    if (s == PLAT_SOCK_BAD) {
        return 0;
    }
    for (std::uint32_t i = 0; i < g_readySet.count; ++i) {
        if (g_readySet.members[i] == s) {
            return 1;
        }
    }
    return 0;
}

int SOCKET_SetListenAddress(const char* dotted)
{
    std::uint32_t addr = 0;
    if (PLAT_SockParseIPv4(dotted, &addr) != 0) {
        return -1;
    }
    g_listenAddress = addr;
    return 0;
}

std::uint32_t socket_ListenAddress()
{
    return g_listenAddress;
}

const char* socket_BarredPeer()
{
    return g_barredPeer;
}

void socket_SetBarredPeer(const char* dotted)
{
    std::snprintf(g_barredPeer, sizeof g_barredPeer, "%s", dotted != nullptr ? dotted : KMO_BARRED_PEER);
}

void socket_SetLockName(const char* name)
{
    std::snprintf(g_lockName, sizeof g_lockName, "%s", name != nullptr ? name : kLockName);
}

const char* socket_LockName()
{
    return g_lockName;
}

void socket_SetMultithreaded(bool on)
{
    g_multithreaded = on;
}

void socket_SetResolver(SocketResolver resolver)
{
    g_resolver = resolver;
}

namespace {

int socket_ResolveNow(SocketResolver resolver, const char* host, std::uint32_t* addr)
{
    return resolver != nullptr ? resolver(host, addr) : PLAT_SockResolveIPv4(host, addr);
}

// A resolution that runs on a thread of its own, so that its caller can stop
// waiting for it; the thread finishes on its own time and frees the job.
struct ResolveJob {
    std::mutex m;
    std::condition_variable done;
    bool finished = false;
    int code = PLAT_RESOLVE_OTHER;
    std::uint32_t addr = 0;
    std::string host;
};

}  // namespace

int socket_Resolve(const char* host, std::uint32_t* addr, int leftMs)
{
    const SocketResolver resolver = g_resolver.load();
    std::uint32_t dotted = 0;
    if (leftMs < 0 || (resolver == nullptr && PLAT_SockParseIPv4(host, &dotted) == 0)) {
        return socket_ResolveNow(resolver, host, addr);   // no bound, or nothing to wait for
    }
    auto job = std::make_shared<ResolveJob>();
    job->host = host;
    try {
        std::thread([job, resolver] {
            std::uint32_t found = 0;
            const int code = socket_ResolveNow(resolver, job->host.c_str(), &found);
            const std::lock_guard<std::mutex> hold(job->m);
            job->code = code;
            job->addr = found;
            job->finished = true;
            job->done.notify_one();
        }).detach();
    } catch (const std::system_error&) {
        return socket_ResolveNow(resolver, host, addr);   // no thread to be had: wait as before
    }
    std::unique_lock<std::mutex> hold(job->m);
    if (!job->done.wait_for(hold, std::chrono::milliseconds(leftMs), [&] { return job->finished; })) {
        return SOCKET_RESOLVE_TIMED_OUT;
    }
    if (job->code == 0) {
        *addr = job->addr;
    }
    return job->code;
}

std::uint32_t socket_ReadSetCount()
{
    return g_readSet.count;
}

PLAT_Sock socket_ReadSetMember(std::uint32_t i)
{
    return i < g_readSet.count ? g_readSet.members[i] : PLAT_SOCK_BAD;
}

PLAT_Sock socket_HighestSocket()
{
    return g_highest;
}

std::uint32_t socket_ReadySetCount()
{
    return g_readySet.count;
}

void socket_ReadSetClear()
{
    g_readSet.count = 0;
    g_readySet.count = 0;
}
