// KMO packets: exact header bytes, the checks, and transfer over a loopback pair.
#include "kmo_packet.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "log_capture.h"
#include "stream_pair.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Records = std::vector<std::string>;

Bytes BytesOf(const char* p, std::size_t n)
{
    return Bytes(reinterpret_cast<const unsigned char*>(p), reinterpret_cast<const unsigned char*>(p) + n);
}

Bytes Concat(Bytes head, const std::string& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// A connected pair of stream sockets, closed on destruction.
struct SocketPair {
    PLAT_Sock fd[2] = {PLAT_SOCK_BAD, PLAT_SOCK_BAD};
    SocketPair() { EXPECT_TRUE(StreamPairOpen(fd)); }
    ~SocketPair()
    {
        CloseEnd(0);
        CloseEnd(1);
    }
    void CloseEnd(int i)
    {
        if (fd[i] != PLAT_SOCK_BAD) {
            PLAT_SockClose(fd[i]);
            fd[i] = PLAT_SOCK_BAD;
        }
    }
    // Ends the sending direction of fd[1]: the reader sees the end of the data.
    void EndWrites() { PLAT_SockShutdown(fd[1], 1); }
    void Write(const void* p, std::size_t n)
    {
        ASSERT_EQ(PLAT_SockSend(fd[1], p, n), static_cast<long>(n));
    }
};

// ---- KMO_MakePacket --------------------------------------------------------

TEST(MakePacket, SingleSeparatorTextGivesElevenBytesAndBothRecords)
{
    LogCapture log;
    char packet[32] = {};
    EXPECT_EQ(KMO_MakePacket(1, "CLI1", "|", packet, sizeof packet), 11);
    EXPECT_EQ(BytesOf(packet, 12), (Bytes{0, 0, 0, 7, 0, 1, 'C', 'L', 'I', '1', '|', 0}));
    EXPECT_EQ(log.Records(), (Records{"DEBUG\tKMO_MakePacket Entry", "DEBUG\tKMO_MakePacket Exit"}));
}

TEST(MakePacket, HeartbeatSizedTextGivesTwentyNineBytes)
{
    const std::string text = "|G01=1234|G81=0001|";
    ASSERT_EQ(text.size(), 19u);
    std::array<char, 4096> packet{};
    ASSERT_EQ(KMO_MakePacket(3, "CLI1", text.c_str(), packet.data(), packet.size()), 29);
    EXPECT_EQ(BytesOf(packet.data(), 29), Concat(Bytes{0, 0, 0, 0x19, 0, 3, 'C', 'L', 'I', '1'}, text));
    EXPECT_EQ(packet[29], '\0');
}

TEST(MakePacket, TypeIsBigEndianAndShortNameIsZeroPadded)
{
    char name[5] = "AB";
    char packet[16];
    std::memset(packet, 0xEE, sizeof packet);
    ASSERT_EQ(KMO_MakePacket(0x1234, name, "|x", packet, sizeof packet), 12);
    EXPECT_EQ(BytesOf(packet, 13), (Bytes{0, 0, 0, 8, 0x12, 0x34, 'A', 'B', 0, 0, '|', 'x', 0xEE}));
    // Only four name bytes are taken from a longer name.
    ASSERT_EQ(KMO_MakePacket(2, "CLIENTE", "|", packet, sizeof packet), 11);
    EXPECT_EQ(BytesOf(packet + 6, 5), (Bytes{'C', 'L', 'I', 'E', '|'}));
}

TEST(MakePacket, MissingNameOrTextFailsWithBufferUntouchedAndBothRecords)
{
    LogCapture log;
    char packet[16];
    std::memset(packet, 0xEE, sizeof packet);
    EXPECT_EQ(KMO_MakePacket(1, "CLI1", "", packet, sizeof packet), -1);
    EXPECT_EQ(KMO_MakePacket(1, "CLI1", nullptr, packet, sizeof packet), -1);
    EXPECT_EQ(KMO_MakePacket(1, "", "|", packet, sizeof packet), -1);
    EXPECT_EQ(KMO_MakePacket(1, nullptr, "|", packet, sizeof packet), -1);
    EXPECT_EQ(KMO_MakePacket(1, "CLI1", "|", nullptr, 16), -1);
    EXPECT_EQ(BytesOf(packet, sizeof packet), Bytes(sizeof packet, 0xEE));
    Records expected;
    for (int i = 0; i < 5; ++i) {
        expected.push_back("DEBUG\tKMO_MakePacket Entry");
        expected.push_back("DEBUG\tKMO_MakePacket Exit");
    }
    EXPECT_EQ(log.Records(), expected);
}

TEST(MakePacket, TextThatDoesNotFitTheBufferFails)
{
    std::vector<char> packet(4096 + 8, '\x77');
    const std::string fits(4086, 'a');
    EXPECT_EQ(KMO_MakePacket(1, "CLI1", fits.c_str(), packet.data(), 4096), 4096);
    EXPECT_EQ(BytesOf(packet.data(), 4), (Bytes{0, 0, 0x0F, 0xFC}));

    std::fill(packet.begin(), packet.end(), '\x77');
    const std::string tooLong(4087, 'a');
    EXPECT_EQ(KMO_MakePacket(1, "CLI1", tooLong.c_str(), packet.data(), 4096), -1);
    EXPECT_EQ(KMO_MakePacket(1, "CLI1", "|", packet.data(), 10), -1);
    EXPECT_EQ(BytesOf(packet.data(), packet.size()), Bytes(packet.size(), 0x77));
}

// ---- KMO_IsPacketValid and KMO_IsTransactionOK -----------------------------

TEST(IsPacketValid, NeedsClientNameAndSeparatorAtTextStart)
{
    LogCapture log;
    const char good[] = "\0\0\0\x07\0\x01" "CLI1|";
    const char zeroAfterCli[] = "\0\0\0\x07\0\x01" "CLI\0|";
    EXPECT_EQ(KMO_IsPacketValid(good), 1);
    EXPECT_EQ(KMO_IsPacketValid(zeroAfterCli), 1);
    EXPECT_EQ(log.Records(), (Records{"DEBUG\tKMO_IsPacketValid Entry", "DEBUG\tKMO_IsPacketValid Exit",
                                      "DEBUG\tKMO_IsPacketValid Entry", "DEBUG\tKMO_IsPacketValid Exit"}));
    for (int pos : {6, 7, 8, 10}) {
        char bad[12];
        std::memcpy(bad, good, sizeof bad);
        bad[pos] = 'x';
        EXPECT_EQ(KMO_IsPacketValid(bad), 0) << "byte " << pos;
    }
    EXPECT_EQ(KMO_IsPacketValid(nullptr), 0);
}

std::array<char, 12> PacketOfType(std::uint16_t type)
{
    std::array<char, 12> p{};
    p[4] = static_cast<char>(type >> 8);
    p[5] = static_cast<char>(type & 0xFF);
    return p;
}

TEST(IsTransactionOK, EachClassAdmitsExactlyItsTypes)
{
    const std::vector<std::vector<std::uint16_t>> accepted{
        {1, 3, 7}, {1, 2, 3, 4, 7, 8, 99}, {2, 4}, {8}};
    for (std::uint16_t cls = 0; cls < 4; ++cls) {
        for (std::uint16_t type = 0; type <= 300; ++type) {
            const auto& set = accepted[cls];
            const bool in = std::find(set.begin(), set.end(), type) != set.end();
            EXPECT_EQ(KMO_IsTransactionOK(cls, PacketOfType(type).data()), in ? type : 0)
                << "class " << cls << " type " << type;
        }
    }
    for (std::uint16_t cls : {4, 0x8000, 0xFFFF}) {
        for (std::uint16_t type : {1, 2, 3, 4, 7, 8, 99}) {
            EXPECT_EQ(KMO_IsTransactionOK(cls, PacketOfType(type).data()), 0);
        }
    }
    EXPECT_EQ(KMO_IsTransactionOK(1, PacketOfType(0x0163).data()), 0);  // 355, low byte 99
}

TEST(IsTransactionOK, LogsTheTypeAsSignedShort)
{
    LogCapture log;
    KMO_IsTransactionOK(1, PacketOfType(99).data());
    KMO_IsTransactionOK(1, PacketOfType(0xFFFF).data());
    EXPECT_EQ(log.Records(), (Records{"DEBUG\tKMO_IsTransactionOK TranType=[99]",
                                      "DEBUG\tKMO_IsTransactionOK TranType=[-1]"}));
}

// ---- KMO_SendPacket and KMO_ReceivePacket ----------------------------------

TEST(SendPacket, ZeroOrNegativeLengthSendsNothing)
{
    SocketPair sp;
    int len = 0;
    EXPECT_EQ(KMO_SendPacket(sp.fd[1], "abc", &len), 0);
    EXPECT_EQ(len, 0);
    len = -5;
    EXPECT_EQ(KMO_SendPacket(sp.fd[1], "abc", &len), 0);
    EXPECT_EQ(len, 0);
    sp.EndWrites();
    char c;
    EXPECT_EQ(PLAT_SockRecv(sp.fd[0], &c, 1), 0) << "something was sent";
}

TEST(SendPacket, FailedSendReportsMinusOneAndBytesSent)
{
    SocketPair sp;
    sp.EndWrites();   // every later send fails at once, on every platform
    int len = 5;
    EXPECT_EQ(KMO_SendPacket(sp.fd[1], "abcde", &len), -1);
    EXPECT_EQ(len, 0);
}

TEST(ReceivePacket, PacketMadeAndSentArrivesIdentical)
{
    SocketPair sp;
    char out[64] = {};
    const int size = KMO_MakePacket(3, "CLI1", "|G01=1234|G81=0001|", out, sizeof out);
    int len = size;
    ASSERT_EQ(KMO_SendPacket(sp.fd[1], out, &len), 0);
    EXPECT_EQ(len, size);

    char in[64] = {};
    int got = 12345;
    EXPECT_EQ(KMO_ReceivePacket(sp.fd[0], in, sizeof in, &got), 0);
    ASSERT_EQ(got, size);
    EXPECT_EQ(BytesOf(in, sizeof in), BytesOf(out, sizeof out));
}

TEST(ReceivePacket, PacketWrittenInPiecesIsReassembled)
{
    SocketPair sp;
    std::array<char, 600> out{};
    const std::string text = "|" + std::string(500, 'q') + "|";
    const int size = KMO_MakePacket(1, "CLI2", text.c_str(), out.data(), out.size());
    ASSERT_GT(size, 0);
    const int cuts[] = {0, 2, 3, 7, 10, 11, 300, size};  // also splits the length field
    std::thread writer([&] {
        for (std::size_t i = 0; i + 1 < std::size(cuts); ++i) {
            const int n = cuts[i + 1] - cuts[i];
            int sent = n;
            EXPECT_EQ(KMO_SendPacket(sp.fd[1], out.data() + cuts[i], &sent), 0);
            EXPECT_EQ(sent, n);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    std::array<char, 600> in{};
    int got = 0;
    EXPECT_EQ(KMO_ReceivePacket(sp.fd[0], in.data(), in.size(), &got), 0);
    writer.join();
    EXPECT_EQ(got, size);
    EXPECT_EQ(BytesOf(in.data(), in.size()), BytesOf(out.data(), out.size()));
}

TEST(ReceivePacket, ClosedOrCutShortConnectionShowsInTheLength)
{
    {
        SocketPair sp;
        sp.CloseEnd(1);
        char buf[16];
        int got = 99;
        EXPECT_EQ(KMO_ReceivePacket(sp.fd[0], buf, sizeof buf, &got), 0);
        EXPECT_EQ(got, 0);
    }
    {
        SocketPair sp;  // two bytes of the length field, then the peer leaves
        sp.Write("\0\0", 2);
        sp.CloseEnd(1);
        char buf[16];
        int got = 99;
        EXPECT_EQ(KMO_ReceivePacket(sp.fd[0], buf, sizeof buf, &got), 0);
        EXPECT_LE(got, 0);
    }
    {
        SocketPair sp;  // announces 6 + 5 bytes, delivers 6 + 2
        sp.Write("\0\0\0\x0B\0\x01" "CLI1|a", 10 + 2);
        sp.CloseEnd(1);
        char buf[32] = {};
        int got = 0;
        EXPECT_EQ(KMO_ReceivePacket(sp.fd[0], buf, sizeof buf, &got), 0);
        EXPECT_EQ(got, 12);
        EXPECT_EQ(std::string(buf + 10), "|a");
    }
}

TEST(ReceivePacket, PacketLargerThanBufferIsRefusedWithoutOverrun)
{
    SocketPair sp;
    char out[64] = {};
    const int size = KMO_MakePacket(1, "CLI1", "|0123456789|", out, sizeof out);  // 22 bytes
    sp.Write(out, static_cast<std::size_t>(size));
    std::array<char, 21 + 8> in;
    in.fill('\x66');
    int got = 0;
    EXPECT_EQ(KMO_ReceivePacket(sp.fd[0], in.data(), 21, &got), 0);
    EXPECT_LE(got, 0);
    for (std::size_t i = 4; i < in.size(); ++i) {
        EXPECT_EQ(in[i], '\x66') << i;
    }

    // A packet that exactly fills the buffer is accepted.
    SocketPair exact;
    exact.Write(out, static_cast<std::size_t>(size));
    EXPECT_EQ(KMO_ReceivePacket(exact.fd[0], in.data(), 22, &got), 0);
    EXPECT_EQ(got, 22);

    int tiny = 0;
    EXPECT_EQ(KMO_ReceivePacket(exact.fd[0], in.data(), 3, &tiny), 0);
    EXPECT_LT(tiny, 0);
}

// A connection as KMO_ReceiveWhole sees it: `bytes` arrive in pieces of at
// most `piece` bytes, then the connection ends.
struct Script {
    std::string bytes;
    std::size_t piece;
    std::size_t delivered = 0;
    std::size_t largestAsk = 0;

    static int Read(void* ctx, char* buf, int size, int* got)
    {
        auto* s = static_cast<Script*>(ctx);
        s->largestAsk = std::max(s->largestAsk, static_cast<std::size_t>(size));
        const std::size_t n = std::min({s->piece, s->bytes.size() - s->delivered, static_cast<std::size_t>(size)});
        if (n == 0)
            return -1;   // the peer closed, or the time bound ran out
        std::memcpy(buf, s->bytes.data() + s->delivered, n);
        s->delivered += n;
        *got = static_cast<int>(n);
        return 0;
    }
};

TEST(ReceiveWhole, ReadsUntilTheAnnouncedLengthAndNoFurther)
{
    std::vector<char> made(64);
    const int size = KMO_MakePacket(1, "GATE", "|F50=00|F52=000000000001|", made.data(), made.size());
    const std::string pkt(made.data(), static_cast<std::size_t>(size));
    struct Case {
        std::string bytes;
        std::size_t piece, cap;
        int result;
    } cases[] = {
        {pkt, 4096, 4095, 0},           {pkt, 5, 4095, 0},   // in segments
        {pkt, 1, 4095, 0},              {pkt + "garbage", 4096, 4095, 0},
        {pkt, 4096, pkt.size(), 0},     {pkt, 4096, pkt.size() - 1, -1},   // one byte too many
        {pkt.substr(0, 30), 7, 4095, -1},   {pkt.substr(0, 3), 4096, 4095, -1},
        {"", 4096, 4095, -1},           {std::string(4, '\xff') + pkt.substr(4), 4096, 4095, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bytes.size() << " bytes by " << c.piece << ", cap " << c.cap);
        Script script{c.bytes, c.piece};
        std::vector<char> buf(c.cap + 8, '#');
        int len = -7;
        EXPECT_EQ(KMO_ReceiveWhole(Script::Read, &script, buf.data(), c.cap, &len), c.result);
        EXPECT_LE(script.largestAsk, c.cap);
        EXPECT_EQ(std::string(buf.begin() + static_cast<std::ptrdiff_t>(c.cap), buf.end()), std::string(8, '#'));
        EXPECT_EQ(len, c.result == 0 ? static_cast<int>(pkt.size()) : -7);
        if (c.result == 0) {
            EXPECT_EQ(std::string(buf.data(), pkt.size()), pkt);
            EXPECT_EQ(script.delivered, pkt.size()) << "read past the packet";
        }
    }
}

}  // namespace
