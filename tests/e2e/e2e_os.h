// Operating-system services of the end-to-end harness: child processes, a
// private temporary directory, descriptors held open, loopback sockets and
// file ownership. Every descriptor is opened close-on-exec, so nothing the
// harness holds leaks into the programs under test.
#pragma once

#include <string>
#include <vector>

namespace e2e::os {

// How a child process ended.
struct ExitStatus {
    bool exited = false;   // ended by exit(): `code` is its status (0..255)
    int code = -1;
    int signal = 0;        // killed by this signal
};

struct SpawnOptions {
    std::vector<std::string> argv;   // argv[0] is the program's path
    std::string cwd;                 // working directory of the child
    std::string stdoutPath;          // created/truncated; empty: /dev/null
    std::string stderrPath;
    bool asNobody = false;           // run with the uid/gid of "nobody" (needs root)
};

// A fresh directory under the system's temporary directory; "" on failure.
std::string MakeTempDir(const std::string& prefix);

// Starts the program; its pid, or -1 (the reason in *why).
int Spawn(const SpawnOptions& opt, std::string* why);

// Waits at most `timeoutMs` for the child to end. true and the status once it
// has ended (it is then reaped), false while it still runs.
bool WaitExit(int pid, int timeoutMs, ExitStatus* status);

// True when SendTerm and SendInt reach the programs: always on POSIX; on
// Windows only with a console that the programs share with the harness.
bool CanSendStopSignals();
void SendTerm(int pid);
void SendInt(int pid);
void SendKill(int pid);
void SendHup(int pid);   // nothing on Windows, which has no such signal

// A datagram socket bound to `name`: a path, or '@' and an abstract name
// (the service manager's notification socket). -1 on failure, and always on
// Windows, which has neither such sockets nor such a service manager.
int BindDatagram(const std::string& name);
// One datagram into *out, waiting at most `timeoutMs`; false on time-out.
bool ReceiveDatagram(int fd, int timeoutMs, std::string* out);

// Sets or removes a variable of this process's environment, which the
// programs started afterwards inherit.
void SetEnv(const std::string& name, const std::string& value);
void UnsetEnv(const std::string& name);

// Descriptors held by the harness itself (a terminal that keeps a file open).
int OpenHoldWrite(const std::string& path);   // created if absent; -1 on failure
int OpenHoldRead(const std::string& path);    // -1 on failure
bool WriteFd(int fd, const std::string& data);
void CloseFd(int fd);

// A TCP socket bound to 127.0.0.1:port (0: any free port), listening when
// `listen` is true. A bound socket that does not listen refuses connections
// and keeps anybody else from listening there. -1 on failure.
int BindLoopback(int port, bool listen);
int LocalPort(int fd);

// Root privileges, and handing a tree to "nobody" for the privilege-drop runs.
bool IsRoot();
bool ChownTreeToNobody(const std::string& path);
bool ChangeMode(const std::string& path, unsigned mode);

// A symbolic link at `path` to `target` (a directory link when `directory`).
// Windows makes one only with the privilege for it, and only one that the
// system sees as a reparse point counts; false with the reason in *why.
bool MakeSymlink(const std::string& target, const std::string& path, bool directory, std::string* why);
// Hostile entries a terminal user can plant: a FIFO, a file of `size` bytes
// that takes no room (sparse), a small tmpfs mounted on `path` (needs root;
// false with the reason in *why when not permitted) and its removal.
bool MakeFifo(const std::string& path);
bool MakeSparseFile(const std::string& path, long long size);
bool MountTmpfs(const std::string& path, const std::string& size, std::string* why);
void Unmount(const std::string& path);

// Sleeps; used only between polls of a condition.
void SleepMs(int ms);
// Milliseconds on a monotonic clock.
double NowMs();

}  // namespace e2e::os
