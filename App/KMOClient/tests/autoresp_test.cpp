// Local replies: reply texts, the numbering files across a year change, the
// pre-authorisation records, and replies that cannot be written.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

#include "files_test_util.h"
#include "kmoclient.h"
#include "numbering.h"

using filestest::HeldFile;
using filestest::ReadAll;
using filestest::WriteAll;

namespace {

std::time_t g_fakeNow = 0;

std::time_t LocalTime(int year, int month, int day)
{
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

class AutoRespTest : public filestest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        savedClock_ = g_numberingNow;
        g_fakeNow = LocalTime(2026, 6, 15);
        g_numberingNow = [] { return g_fakeNow; };
        root_ = dir_ / "root";
        std::filesystem::create_directory(root_);
        std::memset(RootPath, 0, sizeof RootPath);
        std::strcpy(RootPath, root_.string().c_str());
        std::memset(Terminals, 0, sizeof Terminals);
        std::strcpy(Terminals[0], "caja1");
        std::strcpy(Terminals[1], "caja2");
        TerminalCount = 2;
    }

    void TearDown() override
    {
        g_numberingNow = savedClock_;
        std::memset(RootPath, 0, sizeof RootPath);
        std::memset(Terminals, 0, sizeof Terminals);
        TerminalCount = 1;
        WorkDirTest::TearDown();
    }

    void Request(const std::string& text) { std::strcpy(KMOClient_RequestBuffer, text.c_str()); }
    std::string Reply(const char* file = "caja1out.txt") const { return ReadAll(root_ / file); }
    bool Exists(const char* name) const { return std::filesystem::exists(dir_ / name); }

    std::filesystem::path root_;

private:
    NumberingClock savedClock_ = nullptr;
};

const std::string kRequest = "|G01=0000012345|G04=00000000000000000077|G08=0000000009|G99=000020|";

TEST_F(AutoRespTest, FirstReplyEverStartsTheYearAtOne)
{
    Request(kRequest);
    KMOClient_GenAutoResponse(0, 1);

    EXPECT_EQ(Reply(), "|F01=0000012345|F04=00000000000000000077|F08=0000000009|F41=caja1|F50=ND"
                       "|F51=RECETA PRE-AUTORIZADA|F52=G20260000001|F99=000021|");
    EXPECT_EQ(ReadAll("anio.txt"), "2026\n");
    EXPECT_EQ(ReadAll("nroaut.txt"), "1\n");
    EXPECT_EQ(ReadAll("kmoautoresp.txt"), kRequest + "G52=G20260000001|\n");
    EXPECT_TRUE(Logged("ERROR\tKMOClient_GenAutoResponse borrando archivo nroaut.txt, ubicacion erronea"));
    EXPECT_TRUE(Logged("DEBUG\tKMOClient_GenAutoResponse CodeFarm=[0000012345]"));
    EXPECT_TRUE(Logged("DEBUG\tKMOClient_GenAutoResponse Exit"));
    EXPECT_FALSE(Exists("nroaut.txt.tmp"));
    EXPECT_FALSE(Exists("anio.txt.tmp"));
}

TEST_F(AutoRespTest, NumberingContinuesAndAcceptsWindowsLineEnds)
{
    WriteAll("anio.txt", "2026\r\n");
    WriteAll("nroaut.txt", "41\r\n");
    Request(kRequest);
    KMOClient_GenAutoResponse(1, 0);
    EXPECT_NE(Reply("caja2out.txt").find("|F41=caja2|F50=ND|F51=RECETA PRE-AUTORIZADA|F52=I20260000042|"),
              std::string::npos);
    EXPECT_EQ(ReadAll("nroaut.txt"), "42\n");
    EXPECT_EQ(ReadAll("anio.txt"), "2026\r\n");   // same year: not rewritten
    EXPECT_FALSE(Logged("ERROR\tKMOClient_GenAutoResponse borrando archivo nroaut.txt, ubicacion erronea"));

    KMOClient_GenAutoResponse(0, 7);   // any non-zero flag is 'G'
    EXPECT_NE(Reply().find("|F52=G20260000043|"), std::string::npos);
    EXPECT_EQ(ReadAll("nroaut.txt"), "43\n");
}

TEST_F(AutoRespTest, NewYearRestartsTheSequence)
{
    WriteAll("anio.txt", "2025\n");
    WriteAll("nroaut.txt", "41\n");
    Request(kRequest);
    KMOClient_GenAutoResponse(0, 1);
    EXPECT_NE(Reply().find("|F52=G20260000001|"), std::string::npos);
    EXPECT_EQ(ReadAll("anio.txt"), "2026\n");
    EXPECT_EQ(ReadAll("nroaut.txt"), "1\n");
    EXPECT_FALSE(Logged("ERROR\tKMOClient_GenAutoResponse borrando archivo nroaut.txt, ubicacion erronea"));

    // The clock crosses into 2027 between two replies.
    g_fakeNow = LocalTime(2027, 1, 1);
    Request(kRequest);
    KMOClient_GenAutoResponse(0, 1);
    EXPECT_NE(Reply().find("|F52=G20270000001|"), std::string::npos);
    EXPECT_EQ(ReadAll("anio.txt"), "2027\n");
    EXPECT_EQ(ReadAll("kmoautoresp.txt"),
              kRequest + "G52=G20260000001|\n" + kRequest + "G52=G20270000001|\n");
}

TEST_F(AutoRespTest, YearChangeInterruptedAfterTheCounterWentRestartsAtOne)
{
    // What a crash between the two steps of a year change leaves behind: the
    // old counter removed, the old year still recorded.
    WriteAll("anio.txt", "2025\n");
    Request(kRequest);
    KMOClient_GenAutoResponse(0, 1);
    EXPECT_NE(Reply().find("|F52=G20260000001|"), std::string::npos);
    EXPECT_EQ(ReadAll("anio.txt"), "2026\n");
}

// A step of a pre-authorisation that fails writes no reply and leaves no
// record; a number once stored is never issued again, so the next reply that
// goes out carries a later one. Each failure names its file.
TEST_F(AutoRespTest, FailedStepWritesNoReplyLeavesNoRecordAndNeverReusesANumber)
{
    namespace fs = std::filesystem;
    const struct {
        const char* name;
        const char* blocked;   // made a directory while the reply is attempted
        const char* logged;
        const char* nroautAfter;
        const char* nextNumber;
    } cases[] = {
        {"reply held", nullptr, "ERROR\tKMOClient_GenAutoResponse WriteFileOutput", "42\n", "G20260000043"},
        {"counter not a file", "nroaut.txt", "ERROR\tKMOClient_GenAutoResponse leyendo archivo [nroaut.txt]: Permission denied", nullptr,
         "G20260000001"},
        {"record not a file", "kmoautoresp.txt", "ERROR\tKMOClient_GenAutoResponse escribiendo archivo [kmoautoresp.txt]: Permission denied",
         "42\n", "G20260000043"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all("kmoautoresp.txt");
        fs::remove_all("nroaut.txt");
        fs::remove_all(root_ / "caja1out.txt");
        WriteAll("anio.txt", "2026\n");
        if (c.blocked != nullptr) {
            fs::create_directory(c.blocked);
        }
        if (c.blocked == nullptr || std::string(c.blocked) != "nroaut.txt") {
            WriteAll("nroaut.txt", "41\n");
        }
        WriteAll(root_ / "caja1out.txt", "held");
        Request(kRequest);
        {
            HeldFile terminal(root_ / "caja1out.txt", HeldFile::Read);
            ASSERT_TRUE(terminal.held());
            KMOClient_GenAutoResponse(0, 1);
        }
        EXPECT_EQ(Reply(), "held");
        EXPECT_TRUE(Logged(c.logged));
        if (c.nroautAfter != nullptr) {
            EXPECT_EQ(ReadAll("nroaut.txt"), c.nroautAfter);
        }
        if (c.blocked != nullptr) {
            fs::remove_all(c.blocked);
        }
        EXPECT_EQ(ReadAll("kmoautoresp.txt"), "") << "no record of a reply that was never written";

        Request(kRequest);
        KMOClient_GenAutoResponse(0, 1);
        EXPECT_NE(Reply().find(std::string("|F52=") + c.nextNumber + "|"), std::string::npos) << Reply();
        EXPECT_EQ(ReadAll("kmoautoresp.txt"), kRequest + "G52=" + c.nextNumber + "|\n");
    }
}

TEST_F(AutoRespTest, RecordIsOneLineEvenForLongOrMultiLineRequests)
{
    Request("|G01=1|G99=000010|\r\n|G04=second line|\n");
    KMOClient_GenAutoResponse(0, 1);
    EXPECT_EQ(ReadAll("kmoautoresp.txt"), "|G01=1|G99=000010|\r|G52=G20260000001|\n");

    // A request that fills the buffer still gets its number in the record.
    std::string full = "|G99=000020|X01=";
    full += std::string(KMO_REQUEST_SIZE - 1 - full.size() - 1, 'x') + "|";
    ASSERT_EQ(full.size(), KMO_REQUEST_SIZE - 1);
    Request(full);
    KMOClient_GenAutoResponse(0, 1);
    const std::string records = ReadAll("kmoautoresp.txt");
    EXPECT_EQ(records.substr(records.find('\n') + 1), full + "G52=G20260000002|\n");
}

TEST_F(AutoRespTest, ReplyTypeDependsOnTheRequestType)
{
    const struct {
        const char* g99;
        const char* f99;
    } cases[] = {{"|G99=000020|", "000021"}, {"|G99=000010|", "000031"}, {"|G99=|", "000031"},
                 {"|G01=1|", "000031"}};
    for (const auto& c : cases) {
        Request(c.g99);
        KMOClient_GenAutoResponse(0, 1);
        EXPECT_NE(Reply().find(std::string("|F99=") + c.f99 + "|"), std::string::npos) << c.g99;
        Request(c.g99);
        KMOClient_GenErrorResponse(0, "ND", "x");
        EXPECT_NE(Reply().find(std::string("|F99=") + c.f99 + "|"), std::string::npos) << c.g99;
    }
}

TEST_F(AutoRespTest, LongRequestFieldsAreCutToTheirHolders)
{
    Request("|G01=123456789012345|G04=1234567890123456789012345|G08=abcdefghijklm|G99=00002000|");
    KMOClient_GenAutoResponse(0, 1);
    EXPECT_EQ(Reply().substr(0, 60), "|F01=1234567890|F04=12345678901234567890|F08=abcdefghij|F41=");
    EXPECT_NE(Reply().find("|F99=000021|"), std::string::npos);   // "000020" after the cut
}

TEST_F(AutoRespTest, NormalisedAutoReplyIsWrittenOnceNormalised)
{
    NormalizeReply = 1;
    Request(kRequest);
    KMOClient_GenAutoResponse(0, 1);
    const std::string expected = "|F01=0000012345|F04=00000000000000000077|F08=0000000009|F41=caja1|F50=ND|F51="
                                 "RECETA PRE-AUTORIZADA" + std::string(29, ' ') + "|F52=G20260000001|F06=" +
                                 std::string(100, '0') + "|F99=000021|\r\n";
    EXPECT_EQ(Reply(), expected);

    // A terminal whose name is longer than 15 characters finds it whole.
    std::strcpy(Terminals[1], "sucursal-centro-caja-07");
    Request(kRequest);
    KMOClient_GenAutoResponse(1, 1);
    EXPECT_NE(Reply("sucursal-centro-caja-07out.txt").find("|F41=sucursal-centro-caja-07|F50=ND|"),
              std::string::npos);
}

TEST_F(AutoRespTest, SequenceBeyondSevenDigitsIsNotCutIntoAnEarlierNumber)
{
    WriteAll("anio.txt", "2026\n");
    WriteAll("nroaut.txt", "9999999\n");
    Request(kRequest);
    KMOClient_GenAutoResponse(0, 1);
    EXPECT_NE(Reply().find("|F52=G202610000000|"), std::string::npos);
    EXPECT_EQ(ReadAll("nroaut.txt"), "10000000\n");

    // Normalised, the number stays whole too.
    NormalizeReply = 1;
    Request(kRequest);
    KMOClient_GenAutoResponse(0, 1);
    EXPECT_NE(Reply().find("|F52=G202610000001|F06="), std::string::npos);
}

TEST_F(AutoRespTest, ErrorReplyCarriesCodeAndMessageAndTouchesNoCounter)
{
    Request(kRequest);
    KMOClient_GenErrorResponse(0, "ND", "N\xFA" "mero de Troqueles invalido");
    EXPECT_EQ(Reply(), "|F01=0000012345|F04=00000000000000000077|F08=0000000009|F41=caja1|F50=ND"
                       "|F51=N\xFA" "mero de Troqueles invalido|F99=000021|");
    EXPECT_FALSE(Exists("anio.txt"));
    EXPECT_FALSE(Exists("nroaut.txt"));
    EXPECT_FALSE(Exists("kmoautoresp.txt"));
    EXPECT_TRUE(Logged("DEBUG\tKMOClient_GenErrorResponse NroBenp=[0000000009]"));

    NormalizeReply = 1;
    Request(kRequest);
    KMOClient_GenErrorResponse(0, "ND", "Formato de Troquel invalido");
    EXPECT_NE(Reply().find("|F52=000000000000|F06="), std::string::npos);

    std::strcpy(Terminals[0], "missing/");
    KMOClient_GenErrorResponse(0, "ND", "Formato de Troquel invalido");
    EXPECT_TRUE(Logged("ERROR\tKMOClient_GenErrorResponse WriteFileOutput"));
}

}  // namespace
