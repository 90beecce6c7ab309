// The request and reply files: text mode, chunked reads, exclusive sharing,
// truncation, error records and the request buffer's capacity.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "files_test_util.h"
#include "kmoclient.h"

using filestest::HeldFile;
using filestest::ReadAll;
using filestest::WriteAll;

namespace {

class FileIoTest : public filestest::WorkDirTest {
protected:
    std::string Buffer() const { return std::string(KMOClient_RequestBuffer); }
    std::string Path(const char* name) const { return (dir_ / name).string(); }
};

TEST_F(FileIoTest, ReadMissingFileFailsAndKeepsBuffer)
{
    std::strcpy(KMOClient_RequestBuffer, "|G99=000020|");
    EXPECT_EQ(KMOClient_ReadFileInput(Path("nada.txt").c_str()), -1);
    EXPECT_EQ(Buffer(), "|G99=000020|");
    EXPECT_TRUE(Logged("DEBUG\tKMOClient_ReadFileInput Exit"));
}

TEST_F(FileIoTest, ReadEmptyFileClearsBuffer)
{
    std::memset(KMOClient_RequestBuffer, 'x', sizeof KMOClient_RequestBuffer);
    WriteAll(dir_ / "in.txt", "");
    EXPECT_EQ(KMOClient_ReadFileInput(Path("in.txt").c_str()), 0);
    for (char c : KMOClient_RequestBuffer) {
        ASSERT_EQ(c, '\0');
    }
}

TEST_F(FileIoTest, ReadConvertsLineEndsAndStopsAtCtrlZ)
{
    WriteAll(dir_ / "in.txt", "|G01=1|\r\n|G04=2|\r\r\nx\rz\n\x1A" "after");
    ASSERT_EQ(KMOClient_ReadFileInput(Path("in.txt").c_str()), 0);
    EXPECT_EQ(Buffer(), "|G01=1|\n|G04=2|\r\nx\rz\n");
}

TEST_F(FileIoTest, ReadJoinsChunksInOrderAcrossASplitLineEnd)
{
    // 510 characters, then a CR LF that straddles the first 511-byte chunk,
    // then more than another chunk of distinct characters.
    std::string body(510, 'a');
    body += "\r\n";
    std::string expected = std::string(510, 'a') + "\n";
    for (int i = 0; i < 500; ++i) {
        body += static_cast<char>('A' + i % 26);
        expected += static_cast<char>('A' + i % 26);
    }
    body += "\rZ";   // a lone CR stays
    expected += "\rZ";
    WriteAll(dir_ / "in.txt", body);
    ASSERT_EQ(KMOClient_ReadFileInput(Path("in.txt").c_str()), 0);
    EXPECT_EQ(Buffer(), expected);
}

TEST_F(FileIoTest, ReadCutsLongFileToBuffer)
{
    std::string body;
    for (int i = 0; i < 2000; ++i) {
        body += static_cast<char>('0' + i % 10);
    }
    WriteAll(dir_ / "in.txt", body);
    ASSERT_EQ(KMOClient_ReadFileInput(Path("in.txt").c_str()), 0);
    EXPECT_EQ(Buffer(), body.substr(0, KMO_REQUEST_SIZE - 1));
    EXPECT_EQ(KMOClient_RequestBuffer[KMO_REQUEST_SIZE - 1], '\0');
}

TEST_F(FileIoTest, ReadRefusesFileThatAnotherProcessWrites)
{
    WriteAll(dir_ / "in.txt", "|G99=000020|");
    std::strcpy(KMOClient_RequestBuffer, "previous");
    {
        HeldFile writer(dir_ / "in.txt", HeldFile::Write);
        ASSERT_TRUE(writer.held());
        EXPECT_EQ(KMOClient_ReadFileInput(Path("in.txt").c_str()), -1);
        EXPECT_EQ(Buffer(), "previous");
    }
    {
        HeldFile locker(dir_ / "in.txt", HeldFile::Lock);
        ASSERT_TRUE(locker.held());
        EXPECT_EQ(KMOClient_ReadFileInput(Path("in.txt").c_str()), -1);
    }
#if defined(_WIN32)
    // Windows shares the file with nobody: a reader stands in the way too.
    {
        HeldFile reader(dir_ / "in.txt", HeldFile::Read);
        ASSERT_TRUE(reader.held());
        EXPECT_EQ(KMOClient_ReadFileInput(Path("in.txt").c_str()), -1);
        EXPECT_EQ(Buffer(), "previous");
    }
    // Once the other process is gone the file is read on the next attempt.
    EXPECT_EQ(KMOClient_ReadFileInput(Path("in.txt").c_str()), 0);
#else
    // A reader does not stand in the way, and once the writer is gone the
    // file is read on the next attempt.
    HeldFile reader(dir_ / "in.txt", HeldFile::Read);
    ASSERT_TRUE(reader.held());
    EXPECT_EQ(KMOClient_ReadFileInput(Path("in.txt").c_str()), 0);
#endif
    EXPECT_EQ(Buffer(), "|G99=000020|");
}

TEST_F(FileIoTest, ReadRefusesDirectory)
{
    std::filesystem::create_directory(dir_ / "in.txt");
    EXPECT_EQ(KMOClient_ReadFileInput(Path("in.txt").c_str()), -1);
}

TEST_F(FileIoTest, WriteTruncatesAndWritesCrLf)
{
    WriteAll(dir_ / "out.txt", std::string(3000, 'z'));
    std::strcpy(KMOClient_RequestBuffer, "request that the write leaves alone");
    ASSERT_EQ(KMOClient_WriteFileOutput(Path("out.txt").c_str(), "|F50=ok|\nline\n"), 0);
    EXPECT_EQ(ReadAll(dir_ / "out.txt"), "|F50=ok|\r\nline\r\n");
    EXPECT_EQ(Buffer(), "request that the write leaves alone");
}

TEST_F(FileIoTest, WriteNormalisesWhenAsked)
{
    NormalizeReply = 1;
    ASSERT_EQ(KMOClient_WriteFileOutput(Path("out.txt").c_str(), "|F50=0|"), 0);
    const std::string out = ReadAll(dir_ / "out.txt");
    EXPECT_EQ(out.substr(0, 17), "|F01=0000000000|F");
    EXPECT_NE(out.find("|F50=00|"), std::string::npos);
    EXPECT_EQ(out.substr(out.size() - 3), "|\r\n");
}

// A gateway reply of any length a packet can carry is written whole; a longer
// text is cut at the packet's size.
TEST_F(FileIoTest, WriteKeepsLongRepliesWholeUpToAPacket)
{
    for (const std::size_t n : {std::size_t{3000}, KMO_PACKET_SIZE - 1, std::size_t{6000}}) {
        const std::string text(n, 'q');
        ASSERT_EQ(KMOClient_WriteFileOutput(Path("out.txt").c_str(), text.c_str()), 0);
        EXPECT_EQ(ReadAll(dir_ / "out.txt"), std::string(std::min(n, KMO_PACKET_SIZE - 1), 'q')) << n;
    }
}

TEST_F(FileIoTest, WriteAcceptsTheRequestBufferItself)
{
    std::strcpy(KMOClient_RequestBuffer, "|F52=123|\n");
    ASSERT_EQ(KMOClient_WriteFileOutput(Path("out.txt").c_str(), KMOClient_RequestBuffer), 0);
    EXPECT_EQ(ReadAll(dir_ / "out.txt"), "|F52=123|\r\n");
}

TEST_F(FileIoTest, WriteRefusesFileThatAnotherProcessHoldsAndLeavesIt)
{
    WriteAll(dir_ / "out.txt", "the terminal's previous reply");
    {
        HeldFile reader(dir_ / "out.txt", HeldFile::Read);
        ASSERT_TRUE(reader.held());
        EXPECT_EQ(KMOClient_WriteFileOutput(Path("out.txt").c_str(), "|F52=1|"), -1);
    }
    EXPECT_EQ(ReadAll(dir_ / "out.txt"), "the terminal's previous reply");
    EXPECT_TRUE(Logged("\tKMOClient_WriteFileOutput abriendo archivo [" + Path("out.txt") + "] de output"));
    EXPECT_TRUE(Logged("ERROR\tKMOClient_WriteFileOutput errno=[13] error=[Given path is a directory, or file "
                       "is read-only, but an open-for-writing operation was attempted]"));

    HeldFile locker(dir_ / "out.txt", HeldFile::Lock);
    ASSERT_TRUE(locker.held());
    EXPECT_EQ(KMOClient_WriteFileOutput(Path("out.txt").c_str(), "|F52=1|"), -1);
}

// A terminal that opens its reply file for a moment, looking for the reply,
// does not make the reply fail: the writer waits for it a little.
TEST_F(FileIoTest, WriteWaitsForAReaderThatLooksBriefly)
{
    WriteAll(dir_ / "out.txt", "");
    auto reader = std::make_unique<HeldFile>(dir_ / "out.txt", HeldFile::Read);
    ASSERT_TRUE(reader->held());
    std::thread closer([&reader] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        reader.reset();
    });
    EXPECT_EQ(KMOClient_WriteFileOutput(Path("out.txt").c_str(), "|F52=1|"), 0);
    closer.join();
    EXPECT_EQ(ReadAll(dir_ / "out.txt"), "|F52=1|");
}

TEST_F(FileIoTest, WriteIntoMissingDirectoryLogsNotFound)
{
    const std::string path = Path("no/such/out.txt");
    EXPECT_EQ(KMOClient_WriteFileOutput(path.c_str(), "|F52=1|"), -1);
    EXPECT_TRUE(Logged("ERROR\tKMOClient_WriteFileOutput errno=[2] error=[File or path not found.]"));
    EXPECT_TRUE(Logged("DEBUG\tKMOClient_WriteFileOutput Exit"));

    EXPECT_EQ(KMOClient_WriteFileOutput(nullptr, "|F52=1|"), -1);
    EXPECT_TRUE(Logged("\tKMOClient_WriteFileOutput abriendo archivo [] de output"));
}

}  // namespace
