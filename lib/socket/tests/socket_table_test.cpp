// The connection table, the socket sets, the mode flag and the named lock.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <chrono>
#include <future>
#include <thread>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "socket_test_util.h"

namespace sockettest {
namespace {

using TableTest = SocketTest;

TEST_F(TableTest, HandsOutLowestFreeSlotUntilFull)
{
    for (int i = 0; i < SOCKET_TABLE_SIZE; ++i) {
        ASSERT_EQ(HANDLE_Get(), i);
        EXPECT_EQ(socket_SlotSocket(i), 0);   // taken, socket not yet stored
    }
    EXPECT_EQ(HANDLE_Get(), -1);

    HANDLE_Free(5);
    EXPECT_EQ(socket_SlotSocket(5), PLAT_SOCK_BAD);
    EXPECT_EQ(HANDLE_Get(), 5);
    EXPECT_EQ(HANDLE_Get(), -1);

    HANDLE_Reset();
    EXPECT_EQ(HANDLE_Get(), 0);
    EXPECT_EQ(HANDLE_Get(), 1);   // slot 0 is taken, though it holds no socket yet
}

TEST_F(TableTest, FreeAndOutOfRangeIdsLeaveOtherSlotsAlone)
{
    socket_SlotStore(3, 1234, 1);
    HANDLE_Free(-1);
    HANDLE_Free(SOCKET_TABLE_SIZE);
    EXPECT_EQ(socket_SlotSocket(3), 1234);
    EXPECT_EQ(socket_SlotIsServer(3), 1);
    EXPECT_EQ(socket_SlotSocket(SOCKET_TABLE_SIZE), PLAT_SOCK_BAD);   // reads as free
    HANDLE_Free(3);
    EXPECT_EQ(socket_SlotSocket(3), -1);
    EXPECT_EQ(socket_SlotIsServer(3), 0);
}

TEST_F(TableTest, OnlyAnUpperCaseTSwitchesMultithreadedModeOn)
{
    for (const char* text : {"t", "", "abc"}) {
        ASSERT_EQ(SOCKET_Init(text), 0);
        EXPECT_FALSE(socket_Multithreaded()) << text;
    }
    ASSERT_EQ(SOCKET_Init(nullptr), 0);
    EXPECT_FALSE(socket_Multithreaded());
    EXPECT_FALSE(log_->Has("SOCKET_Init multithreaded"));

    ASSERT_EQ(SOCKET_Init("xTy"), 0);
    EXPECT_TRUE(socket_Multithreaded());
    const auto lines = log_->Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().level, "INFO");
    EXPECT_EQ(lines.back().message, "SOCKET_Init multithreaded");

    // Once on, neither a later start-up without T nor the shutdown clears it.
    ASSERT_EQ(SOCKET_Init(nullptr), 0);
    EXPECT_TRUE(socket_Multithreaded());
    SOCKET_Exit();
    EXPECT_TRUE(socket_Multithreaded());
    for (int i = 0; i < 6; ++i) {
        SOCKET_Exit();   // balance the start-ups above, the fixture's included
    }
    ASSERT_EQ(SOCKET_Init(nullptr), 0);
}

TEST_F(TableTest, ExitFreesEverySlotWithoutClosingSockets)
{
    const int id = OpenLoopbackServer();
    ASSERT_NE(id, -1);
    const PLAT_Sock s = socket_SlotSocket(id);
    const int fds = OpenDescriptors();

    SOCKET_Exit();
    EXPECT_EQ(socket_SlotSocket(id), PLAT_SOCK_BAD);
#if defined(_WIN32)
    // The last shutdown of Winsock itself closes every socket still open.
    EXPECT_EQ(OpenDescriptors(), fds - 1);
    EXPECT_EQ(PLAT_SockClose(s), -1);
#else
    EXPECT_EQ(OpenDescriptors(), fds);   // the caller still owns the socket
    EXPECT_EQ(PLAT_SockClose(s), 0);
#endif
    ASSERT_EQ(SOCKET_Init(nullptr), 0);
}

TEST_F(TableTest, ReadSetHoldsSixtyFourAndRemovesFirstOccurrenceOnly)
{
    for (int s = 100; s < 100 + SOCKET_SET_SIZE; ++s) {
        socket_ReadSetRegister(s);
    }
    socket_ReadSetRegister(500);   // dropped silently, but still raises the bound
    EXPECT_EQ(socket_ReadSetCount(), static_cast<std::uint32_t>(SOCKET_SET_SIZE));
    EXPECT_EQ(socket_ReadSetMember(SOCKET_SET_SIZE - 1), 100 + SOCKET_SET_SIZE - 1);
    EXPECT_EQ(socket_HighestSocket(), 500);

    socket_ReadSetClear();
    for (int s : {7, 8, 7, 9}) {
        socket_ReadSetAdd(s);
    }
    socket_ReadSetRemove(7);
    ASSERT_EQ(socket_ReadSetCount(), 3u);
    EXPECT_EQ(socket_ReadSetMember(0), 8);
    EXPECT_EQ(socket_ReadSetMember(1), 7);
    EXPECT_EQ(socket_ReadSetMember(2), 9);
    socket_ReadSetRemove(42);   // not a member
    EXPECT_EQ(socket_ReadSetCount(), 3u);
}

TEST_F(TableTest, InitCreatesTheNamedLockThatCyclesOpen)
{
    PLAT_NamedLock* lock = PLAT_LockOpen(lockName_.c_str());
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(PLAT_LockWait(lock, 1000), PLAT_LOCK_ACQUIRED);
    PLAT_LockClose(lock);   // releases too
    lock = PLAT_LockOpen(lockName_.c_str());
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(PLAT_LockWait(lock, 1000), PLAT_LOCK_ACQUIRED);
    PLAT_LockClose(lock);
    EXPECT_EQ(PLAT_LockOpen("kmosock.test.never.created"), nullptr);
}

TEST_F(TableTest, LockThatCannotBeCreatedFailsStartUpAndKeepsTheTable)
{
    socket_SlotStore(9, 999, 1);
#if defined(_WIN32)
    socket_SetLockName("no\\such\\name");   // not a valid object name
#else
    socket_SetLockName("no/such/name");   // not a valid shared-memory name
#endif
    EXPECT_EQ(SOCKET_Init("T"), -1);
    const auto lines = log_->Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().level, "");   // level 3 has no name
    EXPECT_EQ(lines.back().message, "HANDLE_Init CreateMutex");
    EXPECT_FALSE(socket_Multithreaded());
    EXPECT_EQ(socket_SlotSocket(9), 999);
    SOCKET_Exit();   // the socket library stayed started
    HANDLE_Reset();
}

// Another holder of the test's lock, which takes it and then releases it
// after two seconds or, with `dieHolding`, ends while still holding it (the
// lock is then left abandoned). Start returns once the holder has it.
#if defined(_WIN32)
// A Win32 mutex belongs to a thread: another thread of this process holds it
// as another process would, and a thread that ends holding it abandons it.
class LockHolder {
public:
    void Start(const std::string& name, bool dieHolding)
    {
        std::promise<bool> ready;
        std::future<bool> held = ready.get_future();
        std::shared_future<void> release = release_.get_future().share();
        thread_ = std::thread([name, dieHolding, &ready, release] {
            PLAT_NamedLock* lock = PLAT_LockOpen(name.c_str());
            const bool ok = lock != nullptr && PLAT_LockWait(lock, 1000) == PLAT_LOCK_ACQUIRED;
            ready.set_value(ok);
            if (!dieHolding) {
                // Held until the test has seen the refusal (Join), at most ten seconds.
                release.wait_for(std::chrono::seconds(10));
                PLAT_LockClose(lock);
            }
        });
        EXPECT_TRUE(held.get());
    }
    void Join()
    {
        ASSERT_TRUE(thread_.joinable());
        release_.set_value();
        thread_.join();
    }
    ~LockHolder()
    {
        if (thread_.joinable()) {
            Join();
        }
    }

private:
    std::promise<void> release_;
    std::thread thread_;
};
#else
class LockHolder {
public:
    void Start(const std::string& name, bool dieHolding)
    {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            close(fds[0]);
            PLAT_NamedLock* lock = PLAT_LockOpen(name.c_str());
            const char ok = (lock != nullptr && PLAT_LockWait(lock, 1000) == PLAT_LOCK_ACQUIRED) ? 'y' : 'n';
            (void)!write(fds[1], &ok, 1);
            if (!dieHolding) {
                usleep(2000 * 1000);
                PLAT_LockRelease(lock);
            }
            _exit(0);   // when dying holding it, the lock is left abandoned
        }
        close(fds[1]);
        char ok = 'n';
        EXPECT_EQ(read(fds[0], &ok, 1), 1);
        close(fds[0]);
        EXPECT_EQ(ok, 'y');
    }
    void Join()
    {
        int status = 0;
        ASSERT_EQ(waitpid(pid_, &status, 0), pid_);
        pid_ = -1;
    }
    ~LockHolder()
    {
        if (pid_ > 0) {
            Join();
        }
    }

private:
    pid_t pid_ = -1;
};
#endif

#if defined(_WIN32)
TEST_F(TableTest, NamedLockIsPrivateAndNeverReplacedUnderItsMaker)
{
    GTEST_SKIP() << "POSIX only: a Windows named mutex has no file mode; its private name and access list "
                    "are tested in LockWin32";
}

TEST_F(TableTest, LockLeftHalfMadeByADeadCreatorIsMadeAnew)
{
    GTEST_SKIP() << "POSIX only: the system makes a Windows named mutex whole or not at all";
}
#else
// Where the lock of `name` lives: a per-user name.
static std::string ShmPath(const std::string& name)
{
    return "/dev/shm/" + name + "." + std::to_string(geteuid());
}

// The lock is the user's own: made owner-only whatever the umask; an object of
// its name that another user planted is refused and left alone, and so is one
// whose creator is still making it (never two locks under one name).
TEST_F(TableTest, NamedLockIsPrivateAndNeverReplacedUnderItsMaker)
{
    const std::string name = lockName_ + ".mode";
    const std::string path = ShmPath(name);
    PLAT_LockRemove(name.c_str());
    const mode_t old = umask(0);
    PLAT_NamedLock* lock = PLAT_LockCreate(name.c_str());
    umask(old);
    ASSERT_NE(lock, nullptr);
    struct stat st{};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    PLAT_LockClose(lock);
    PLAT_LockRemove(name.c_str());

    const struct {
        const char* what;
        bool otherOwner;   // planted by another user
        bool makerAlive;   // its maker still holds it
    } cases[] = {{"planted by another user", true, false}, {"maker still at work", false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.otherOwner && geteuid() != 0) {
            continue;   // only root can give a file away
        }
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        if (c.otherOwner) {
            ASSERT_EQ(fchown(fd, 65534, 65534), 0);
        }
        if (c.makerAlive) {
            ASSERT_EQ(flock(fd, LOCK_EX), 0);
        }
        EXPECT_EQ(PLAT_LockCreate(name.c_str()), nullptr);
        EXPECT_EQ(stat(path.c_str(), &st), 0) << "the object was replaced";
        close(fd);
        unlink(path.c_str());
    }
}

// A process killed while creating the lock leaves its object empty or without
// an initialised mutex; start-up must not fail on it for ever after.
TEST_F(TableTest, LockLeftHalfMadeByADeadCreatorIsMadeAnew)
{
    for (const std::size_t size : {std::size_t{0}, std::size_t{4096}}) {
        const std::string name = lockName_ + ".half" + std::to_string(size);
        PLAT_LockRemove(name.c_str());
        {
            std::ofstream half(ShmPath(name), std::ios::binary);
            ASSERT_TRUE(half.good());
            half << std::string(size, '\0');
        }
        socket_SetLockName(name.c_str());
        EXPECT_EQ(SOCKET_Init(nullptr), 0) << size;
        SOCKET_Exit();
        PLAT_NamedLock* lock = PLAT_LockOpen(name.c_str());
        ASSERT_NE(lock, nullptr) << size;
        EXPECT_EQ(PLAT_LockWait(lock, 1000), PLAT_LOCK_ACQUIRED);
        PLAT_LockClose(lock);
        PLAT_LockRemove(name.c_str());
    }
    socket_SetLockName(lockName_.c_str());
}

#endif

TEST_F(TableTest, LockHeldByAnotherProcessFailsTheCycle)
{
    socket_SetMultithreaded(true);
    LockHolder holder;
    holder.Start(lockName_, false);

    const int fds = OpenDescriptors();
    EXPECT_EQ(OpenLoopbackServer(), -1);
    EXPECT_EQ(OpenDescriptors(), fds);
    const std::vector<std::string> expected = {
        "SOCKET_Open OpenMutex OK",
        "SOCKET_Open WaitForSingleObject",
        "SOCKET_Open libere el Mutex HandleId=[-1]",
        "SOCKET_Open HANDLE_Get()",
    };
    const auto messages = log_->Messages();
    ASSERT_GE(messages.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(messages.end() - 4, messages.end()), expected);

    holder.Join();
    const int id = OpenLoopbackServer();   // the holder is gone: the lock is free again
    EXPECT_EQ(id, 0);
    SOCKET_Close(id, 2);
}

TEST_F(TableTest, LockAbandonedByADeadHolderFailsOnceThenWorks)
{
    socket_SetMultithreaded(true);
    LockHolder holder;
    holder.Start(lockName_, true);
    holder.Join();

    EXPECT_EQ(OpenLoopbackServer(), -1);
    EXPECT_TRUE(log_->Has("SOCKET_Open WaitForSingleObject"));
    log_->Clear();

    const int id = OpenLoopbackServer();
    ASSERT_EQ(id, 0);
    EXPECT_TRUE(log_->Has("SOCKET_Open tengo el Mutex"));
    EXPECT_FALSE(log_->Has("SOCKET_Open WaitForSingleObject"));
    SOCKET_Close(id, 2);
    EXPECT_EQ(socket_SlotSocket(id), PLAT_SOCK_BAD);
}

}  // namespace
}  // namespace sockettest
