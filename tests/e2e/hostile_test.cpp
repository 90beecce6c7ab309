// A hostile exchange directory: whoever controls a terminal's files may plant
// links, FIFOs, directories and huge files in the place of its request and
// reply. The client follows no link, never blocks, touches nothing outside
// its files, sends nothing it did not read whole, and says so once.
#include "e2e_fixture.h"

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace e2e {
namespace {

namespace fs = std::filesystem;

const std::string kSecret = "|G01=SECRETO|G04=1|G99=000020|";

class HostileTest : public E2ETest {
protected:
    // A root-only file outside the exchange root, as a target worth reaching.
    std::string Secret()
    {
        const std::string path = sb.path("secret.txt");
        EXPECT_TRUE(WriteFile(path, kSecret));
        EXPECT_TRUE(os::ChangeMode(path, 0600));
        return path;
    }

    // Plants `kind` at `path`: "link" (to the secret), "dangling", "hardlink",
    // "fifo" or "dir".
    void Plant(const std::string& kind, const std::string& path)
    {
        std::error_code ec;
        if (kind == "link") {
            ASSERT_TRUE(os::MakeSymlink(Secret(), path, false, nullptr));
        } else if (kind == "dangling") {
            ASSERT_TRUE(os::MakeSymlink(sb.path("nowhere.txt"), path, false, nullptr));
        } else if (kind == "hardlink") {
            fs::create_hard_link(Secret(), path, ec);
        } else if (kind == "fifo") {
            ASSERT_TRUE(os::MakeFifo(path));
        } else {
            fs::create_directory(path, ec);
        }
        ASSERT_FALSE(ec) << kind << ": " << ec.message();
    }

    // The kinds this platform lets a terminal plant, the directory last:
    // Windows has no FIFOs, and makes symbolic links only with a privilege
    // (Wine makes none that are reparse points); what is left out is said.
    const std::vector<std::string>& Kinds()
    {
        if (kinds_.empty()) {
            std::string why;
            const bool links = os::MakeSymlink(sb.path("nowhere.txt"), sb.path("probe.lnk"), false, &why);
            std::error_code ec;
            fs::remove(sb.path("probe.lnk"), ec);
            if (links) {
                kinds_ = {"link", "dangling"};
            } else {
                std::printf("[   NOTE   ] the symbolic link cases do not run here: %s\n", why.c_str());
            }
            kinds_.push_back("hardlink");
#if defined(_WIN32)
            std::printf("[   NOTE   ] no FIFO case: Windows has no FIFOs\n");
#else
            kinds_.push_back("fifo");
#endif
            kinds_.push_back("dir");
        }
        return kinds_;
    }

    std::vector<std::string> kinds_;
};


// In place of the request: never read or followed, logged once, left in place,
// and the other terminal is still served.
TEST_F(HostileTest, PlantedRequestIsNeitherFollowedNorServedAndLoggedOnce)
{
    StartGateway();
    StartClient(ClientArgs("k0,k1,k2,k3,k4,ok"));
    for (std::size_t i = 0; i < Kinds().size(); ++i) {
        Plant(Kinds()[i], sb.rootPath("k" + std::to_string(i) + "in.txt"));
    }
    Drop("ok", Req("000020"));
    EXPECT_EQ(TakeReply("ok").value_or(""), Approve("ok", 1));
    os::SleepMs(300);   // several passes over the planted entries
    ASSERT_EQ(client.StopWithFile(), 0);

    EXPECT_EQ(gw.Packets().size(), 1u) << "something planted was sent";
    EXPECT_EQ(ReadFile(sb.path("secret.txt")).value_or(""), kSecret);
    const std::vector<LogRecord> log = Log();
    for (std::size_t i = 0; i < Kinds().size(); ++i) {
        SCOPED_TRACE(Kinds()[i]);
        const std::string t = "k" + std::to_string(i);
        EXPECT_TRUE(fs::symlink_status(sb.rootPath(t + "in.txt")).type() != fs::file_type::not_found) << "removed";
        EXPECT_FALSE(Exists(sb.rootPath(t + "out.txt"))) << "answered";
        EXPECT_EQ(CountRecords(log, "KMOClient_Process archivo [" + sb.rootPath(t + "in.txt") +
                                        "] no es un archivo comun, se ignora"),
                  1);
    }
    for (const LogRecord& r : log)
        EXPECT_EQ(r.message.find("SECRETO"), std::string::npos) << r.message;
}

// In place of the reply: nothing is written through it, the client does not
// block, and the request stays in flight until the reply can be written.
TEST_F(HostileTest, PlantedReplyIsNeverWrittenThroughAndTheRequestWaits)
{
    StartGateway();
    StartClient(ClientArgs("k0,k1,k2,k3,k4,ok"));
    for (std::size_t i = 0; i < Kinds().size(); ++i) {
        const std::string t = "k" + std::to_string(i);
        Plant(Kinds()[i], sb.rootPath(t + "out.txt"));
        Drop(t, Req("000030"));   // a local pre-authorisation
    }
    Drop("ok", Req("000020"));
    EXPECT_EQ(TakeReply("ok").value_or(""), Approve("ok", 1));
    EXPECT_TRUE(WaitUntil([&] { return CountRecords(Log(), "KMOClient_GenAutoResponse WriteFileOutput") >= 10; }))
        << "the requests were not tried again";

    EXPECT_EQ(ReadFile(sb.path("secret.txt")).value_or(""), kSecret) << "written through a link";
    EXPECT_FALSE(Exists(sb.path("nowhere.txt"))) << "created through a dangling link";
    for (std::size_t i = 0; i < Kinds().size(); ++i) {
        SCOPED_TRACE(Kinds()[i]);
        const std::string t = "k" + std::to_string(i);
        EXPECT_FALSE(Exists(sb.rootPath(t + "in.txt")));
        EXPECT_TRUE(Exists(sb.path("kmopendiente_" + t + ".txt"))) << "request not kept";
    }
    EXPECT_EQ(FileText("kmoautoresp.txt"), "<absent>") << "records of replies never written";

    // The terminal clears its reply's place: the kept request is answered.
    const std::string last = "k" + std::to_string(Kinds().size() - 1);   // the directory
    fs::remove_all(sb.rootPath(last + "out.txt"));
    const std::optional<std::string> reply = WaitReply(last);
    ASSERT_TRUE(reply.has_value());
    ASSERT_EQ(client.StopWithFile(), 0);
    const std::optional<std::string> number = Field(*reply, "F52");
    ASSERT_TRUE(number.has_value());
    EXPECT_EQ(SplitLines(FileText("kmoautoresp.txt")).size(), 1u);
    EXPECT_NE(FileText("kmoautoresp.txt").find("G52=" + *number + "|"), std::string::npos);
    EXPECT_FALSE(Exists(sb.path("kmopendiente_" + last + ".txt")));
}

// A terminal whose files live in a subdirectory: the subdirectory swapped for
// a link to a directory elsewhere leads nowhere. What lies there is neither
// read, removed nor answered, and a terminal in a real subdirectory is served.
TEST_F(HostileTest, SubdirectoryReplacedByALinkLeadsNowhere)
{
    const std::string outside = sb.path("outside");
    ASSERT_TRUE(fs::create_directory(outside));
    ASSERT_TRUE(fs::create_directory(sb.rootPath("real")));
    std::string why;
    if (!os::MakeSymlink(outside, sb.rootPath("sub"), true, &why))
        GTEST_SKIP() << "no directory link can be made here: " << why;
    ASSERT_TRUE(WriteFile(outside + "/in.txt", kSecret));
    StartGateway();
    StartClient(ClientArgs("sub/,real/"));
    Drop("real/", Req("000020"));
    EXPECT_EQ(TakeReply("real/").value_or(""), Approve("real/", 1));
    os::SleepMs(300);   // several passes over the linked one
    ASSERT_EQ(client.StopWithFile(), 0);

    EXPECT_EQ(gw.Packets().size(), 1u) << "what lies behind the link was sent";
    EXPECT_EQ(ReadFile(outside + "/in.txt").value_or("<removed>"), kSecret);
    EXPECT_FALSE(Exists(outside + "/out.txt")) << "answered through the link";
    EXPECT_EQ(CountRecords(Log(), "KMOClient_Process archivo [" + sb.rootPath("sub/in.txt") +
                                      "] no es un archivo comun, se ignora"),
              1);
}

// Requests that cannot be sent whole get the local error reply, and nothing
// goes to the gateway: one longer than the request buffer (a sparse 2 GB file
// among them) and one holding a NUL byte.
TEST_F(HostileTest, RequestsThatCannotBeSentWholeGetAnErrorReply)
{
    const struct {
        const char* what;
        std::string text;   // empty: the sparse file
        const char* message;
    } cases[] = {
        {"1025 characters", Req("000020") + "G30=" + std::string(1025, 'x') + "|", "Receta demasiado larga"},
        {"2 GB sparse", "", "Receta demasiado larga"},
        {"NUL byte", Req("000020") + std::string(1, '\0') + "G08=1234567890|", "Receta con caracteres invalidos"},
    };
    StartGateway();
    StartClient(ClientArgs());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.text.empty()) {
            ASSERT_TRUE(os::MakeSparseFile(sb.rootPath("caja1in.txt.tmp"), 2LL << 30));
            fs::rename(sb.rootPath("caja1in.txt.tmp"), sb.rootPath("caja1in.txt"));
        } else {
            Drop("caja1", c.text);
        }
        const std::optional<std::string> reply = TakeReply("caja1");
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(Field(*reply, "F50").value_or(""), "ND");
        EXPECT_EQ(Field(*reply, "F51").value_or(""), c.message);
        EXPECT_FALSE(Field(*reply, "F52").has_value()) << "no number for a refusal";
        EXPECT_FALSE(Exists(sb.rootPath("caja1in.txt")));
    }
    ASSERT_EQ(client.StopWithFile(), 0);
    EXPECT_TRUE(gw.Packets().empty()) << "a cut request was sent";
}

// The terminal runs as another user than the client and owns the exchange
// root: its links to the client's own files lead nowhere either.
TEST_F(HostileTest, TerminalOfAnotherUserCannotReachTheClientsFiles)
{
    if (!os::IsRoot())
        GTEST_SKIP() << "needs root to hand the exchange root to another user";
    StartGateway();
    ASSERT_TRUE(WriteFile(sb.path("anio.txt"), CurrentYear() + "\n"));
    ASSERT_TRUE(WriteFile(sb.path("nroaut.txt"), "41\n"));
    ASSERT_TRUE(os::ChownTreeToNobody(sb.root()));
    std::error_code ec;
    fs::create_symlink(sb.path("nroaut.txt"), sb.rootPath("caja1out.txt"), ec);   // the counter as the reply
    ASSERT_FALSE(ec);
    Drop("caja1", Req("000030"));
    StartClient(ClientArgs());
    EXPECT_TRUE(WaitLog("KMOClient_GenAutoResponse WriteFileOutput"));
    ASSERT_EQ(client.StopWithFile(), 0);
    EXPECT_EQ(FileText("nroaut.txt"), "42\n") << "the counter was overwritten or put back";
    fs::remove(sb.rootPath("caja1out.txt"));
    StartClient(ClientArgs());   // the kept request is answered after a restart, with a new number
    const std::optional<std::string> reply = WaitReply("caja1");
    ASSERT_EQ(client.StopWithFile(), 0);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(Field(*reply, "F52").value_or(""), AuthNumber('G', 43));
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

// The working directory on a small file system that fills up while the
// gateway is away, then gets room again.
class DiskFullTest : public E2ETest {
protected:
    void TearDown() override
    {
        E2ETest::TearDown();
        if (mounted_) {
            os::Unmount(sb.root());
            os::Unmount(sb.dir());
        }
    }
    bool mounted_ = false;
};

TEST_F(DiskFullTest, FullWorkingDirectoryNeverRepeatsANumberNorLosesOrTearsARecord)
{
    E2E_REQUIRE_LOOPBACK_PROBES();
    if (!os::IsRoot())
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    std::string why;
    if (!os::MountTmpfs(sb.dir(), "64k", &why))
        GTEST_SKIP() << "no small file system for the working directory: " << why;
    mounted_ = true;
    fs::create_directory(sb.root());
    ASSERT_TRUE(os::MountTmpfs(sb.root(), "4m", &why)) << why;
    ASSERT_TRUE(WriteFile(sb.path("anio.txt"), CurrentYear() + "\n"));
    // Fill the working directory but for five pages: room for the counter,
    // the in-flight record, their temporary files and one page of records.
    int fillers = 0;
    while (fillers < 64 && WriteFile(sb.path("filler" + std::to_string(fillers)), std::string(4096, 'f')))
        ++fillers;
    ASSERT_GT(fillers, 5);
    for (int i = 0; i < 5; ++i)
        fs::remove(sb.path("filler" + std::to_string(--fillers)));

    UseDeadGateway();
    RefuseAllProbes();
    const std::string log = sb.rootPath("client.log");   // on the roomy file system
    StartClient({"-n", "CLI1", "-r", sb.root(), "-g", gwAddress, "-T", "20", "-l", log + ",1,80", "-p", "-1",
                 "-t", "caja1"});
    std::vector<std::string> delivered;
    bool full = false;
    for (int i = 0; i < 60 && !full; ++i) {
        Drop("caja1", Req("000020", std::string()) + "G30=" + std::string(200, static_cast<char>('a' + i % 26)) + "|");
        const std::optional<std::string> reply = TakeReply("caja1", 1500);
        full = !reply.has_value();
        if (reply)
            delivered.push_back(Field(*reply, "F52").value_or("?"));
    }
    ASSERT_TRUE(full) << "the working directory never filled up";
    EXPECT_GE(delivered.size(), 2u) << "full from the start: nothing was answered before";
    std::printf("answered before the disk was full: %zu\n", delivered.size());
    EXPECT_FALSE(Exists(sb.rootPath("caja1in.txt"))) << "the waiting request is kept in flight, not in its file";

    for (int i = 0; i < fillers; ++i)
        fs::remove(sb.path("filler" + std::to_string(i)));
    const std::optional<std::string> late = TakeReply("caja1");
    ASSERT_TRUE(late.has_value()) << "the waiting request was not answered once there was room";
    delivered.push_back(Field(*late, "F52").value_or("?"));
    ASSERT_EQ(client.StopWithFile(), 0);

    const std::string records = FileText("kmoautoresp.txt");
    EXPECT_EQ(records.back(), '\n');
    const std::vector<std::string> lines = SplitLines(records);
    for (const std::string& line : lines)
        EXPECT_EQ(line.rfind("|G01=", 0), 0u) << "torn or glued record: " << line;
    std::set<std::string> seen;
    for (const std::string& n : delivered) {
        EXPECT_TRUE(seen.insert(n).second) << n << " issued twice";
        int count = 0;
        for (const std::string& line : lines)
            count += line.find("|G52=" + n + "|") != std::string::npos ? 1 : 0;
        EXPECT_EQ(count, 1) << n << " answered but recorded " << count << " times";
    }
    EXPECT_EQ(lines.size(), delivered.size()) << "a record of a reply that was never written";
    EXPECT_GT(CountRecords(ParseLog(ReadFile(log).value_or(""), nullptr), "*No space left on device*"), 0);
}

}  // namespace
}  // namespace e2e
