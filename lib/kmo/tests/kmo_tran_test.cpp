// Tagged-field texts: building, reading, removing, and the records they log.
#include "kmo_tran.h"

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log_capture.h"

namespace {

using Records = std::vector<std::string>;

// A buffer followed by guard bytes that no operation may touch.
template <std::size_t N>
struct Guarded {
    static constexpr std::size_t kGuard = 16;
    std::array<char, N + kGuard> bytes{};

    Guarded(const char* init = "")
    {
        bytes.fill('\x5A');
        std::memset(bytes.data(), 0, N);
        std::memcpy(bytes.data(), init, strnlen(init, N - 1));
    }
    char* data() { return bytes.data(); }
    std::string str() const { return bytes.data(); }
    bool GuardIntact() const
    {
        for (std::size_t i = N; i < bytes.size(); ++i) {
            if (bytes[i] != '\x5A') {
                return false;
            }
        }
        return true;
    }
};

// ---- KMO_TranPutfield and KMO_TranClose ------------------------------------

TEST(TranPutfield, BuildsFieldsInCallOrderAndCloseAddsFinalSeparator)
{
    char text[64] = {};
    ASSERT_EQ(KMO_TranPutfield(text, sizeof text, "F01", "x"), 0);
    EXPECT_STREQ(text, "|F01=x");
    ASSERT_EQ(KMO_TranPutfield(text, sizeof text, "F04", "y"), 0);
    EXPECT_STREQ(text, "|F01=x|F04=y");
    KMO_TranClose(text, sizeof text);
    EXPECT_STREQ(text, "|F01=x|F04=y|");
}

TEST(TranPutfield, AddsNoSecondSeparatorAndKeepsDuplicatesAndEmptyValues)
{
    char text[64] = "|A01=x|";
    ASSERT_EQ(KMO_TranPutfield(text, sizeof text, "B02", ""), 0);
    EXPECT_STREQ(text, "|A01=x|B02=");
    ASSERT_EQ(KMO_TranPutfield(text, sizeof text, "A01", "z"), 0);
    EXPECT_STREQ(text, "|A01=x|B02=|A01=z");
}

TEST(TranPutfield, ValueEndingInSeparatorClosesItsOwnField)
{
    char text[64] = {};
    ASSERT_EQ(KMO_TranPutfield(text, sizeof text, "G01", "4711"), 0);
    ASSERT_EQ(KMO_TranPutfield(text, sizeof text, "G81", "0001|"), 0);
    EXPECT_STREQ(text, "|G01=4711|G81=0001|");
}

TEST(TranPutfield, LogsEntryTextAndExit)
{
    LogCapture log;
    char text[32] = {};
    ASSERT_EQ(KMO_TranPutfield(text, sizeof text, "F01", "x"), 0);
    EXPECT_EQ(log.Records(), (Records{"DEBUG\tKMO_TranPutfield Entry",
                                      "DEBUG\tKMO_TranPutfield Tran=[|F01=x]",
                                      "DEBUG\tKMO_TranPutfield Exit"}));
}

TEST(TranPutfield, InvalidInputFailsWithErrorRecordAndLeavesTextAlone)
{
    LogCapture log;
    char text[32] = "|A01=1|";
    EXPECT_EQ(KMO_TranPutfield(text, sizeof text, "A02", nullptr), -1);
    EXPECT_EQ(KMO_TranPutfield(text, sizeof text, "", "v"), -1);
    EXPECT_EQ(KMO_TranPutfield(text, sizeof text, nullptr, "v"), -1);
    EXPECT_EQ(KMO_TranPutfield(nullptr, 32, "A02", "v"), -1);
    EXPECT_STREQ(text, "|A01=1|");
    const Records once{"DEBUG\tKMO_TranPutfield Entry",
                       "ERROR\tKMO_TranPutfield valores de input invalidos"};
    Records expected;
    for (int i = 0; i < 4; ++i) {
        expected.insert(expected.end(), once.begin(), once.end());
    }
    EXPECT_EQ(log.Records(), expected);
}

TEST(TranPutfield, ResultThatWouldNotFitLeavesTextUnchanged)
{
    // "|F01=x" needs 7 bytes with its NUL.
    Guarded<7> exact;
    EXPECT_EQ(KMO_TranPutfield(exact.data(), 7, "F01", "x"), 0);
    EXPECT_EQ(exact.str(), "|F01=x");
    EXPECT_TRUE(exact.GuardIntact());

    Guarded<6> tight;
    EXPECT_EQ(KMO_TranPutfield(tight.data(), 6, "F01", "x"), -1);
    EXPECT_EQ(tight.str(), "");
    EXPECT_TRUE(tight.GuardIntact());

    Guarded<12> partly("|A01=1|");
    EXPECT_EQ(KMO_TranPutfield(partly.data(), 12, "B02", "22"), -1);
    EXPECT_EQ(partly.str(), "|A01=1|");
    EXPECT_TRUE(partly.GuardIntact());

    // No NUL inside the capacity: nowhere safe to append.
    char full[4] = {'|', 'A', '=', 'x'};
    EXPECT_EQ(KMO_TranPutfield(full, sizeof full, "B", ""), -1);
    EXPECT_EQ(std::string(full, 4), "|A=x");
    EXPECT_EQ(KMO_TranPutfield(full, 0, "B", ""), -1);

    std::string huge(5000, 'v');
    char request[1025] = "|G01=1|";
    EXPECT_EQ(KMO_TranPutfield(request, sizeof request, "G06", huge.c_str()), -1);
    EXPECT_STREQ(request, "|G01=1|");
}

TEST(TranClose, AppendsUnconditionallyButNeverToEmptyOrFullText)
{
    char empty[8] = {};
    KMO_TranClose(empty, sizeof empty);
    EXPECT_STREQ(empty, "");
    KMO_TranClose(nullptr, 8);

    char closed[16] = "|A01=x|";
    KMO_TranClose(closed, sizeof closed);
    EXPECT_STREQ(closed, "|A01=x||");

    Guarded<3> tight("|A");
    KMO_TranClose(tight.data(), 3);
    EXPECT_EQ(tight.str(), "|A");
    EXPECT_TRUE(tight.GuardIntact());
    Guarded<4> fits("|A");
    KMO_TranClose(fits.data(), 4);
    EXPECT_EQ(fits.str(), "|A|");
    EXPECT_TRUE(fits.GuardIntact());
}

// ---- KMO_TranGetField ------------------------------------------------------

TEST(TranGetField, CopiesValueIntoCallerBufferWithItsRecords)
{
    LogCapture log;
    char dest[16] = {};
    EXPECT_EQ(KMO_TranGetField("|F01=abc|F04=a=b|", "F01", dest, sizeof dest), dest);
    EXPECT_STREQ(dest, "abc");
    EXPECT_EQ(log.Records(), (Records{"DEBUG\tKMO_TranGetField Entry",
                                      "DEBUG\tKMO_TranGetField copiando buffer",
                                      "DEBUG\tKMO_TranGetField Retorna=[abc]",
                                      "DEBUG\tKMO_TranGetField Exit"}));
    EXPECT_STREQ(KMO_TranGetField("|F01=abc|F04=a=b|", "F04", dest, sizeof dest), "a=b");
}

TEST(TranGetField, EmptyValueIsReturnedWithoutCopyRecord)
{
    LogCapture log;
    char dest[16] = "old";
    EXPECT_STREQ(KMO_TranGetField("|F50=|F51=z|", "F50", dest, sizeof dest), "");
    EXPECT_EQ(log.Records(), (Records{"DEBUG\tKMO_TranGetField Entry",
                                      "DEBUG\tKMO_TranGetField Retorna=[]",
                                      "DEBUG\tKMO_TranGetField Exit"}));
}

TEST(TranGetField, UnreadableFieldLeavesCallerBufferAndGivesEmptyResult)
{
    LogCapture log;
    char dest[16] = "keep";
    const char* unclosed = "|F01=x|F04=y";
    EXPECT_EQ(KMO_TranGetField(unclosed, "F04", dest, sizeof dest), dest);
    EXPECT_STREQ(dest, "keep");
    EXPECT_STREQ(KMO_TranGetField("|F01=x|", "F99", dest, sizeof dest), "keep");
    EXPECT_STREQ(KMO_TranGetField("|F01x|", "F01", dest, sizeof dest), "keep");
    EXPECT_STREQ(KMO_TranGetField(unclosed, "F04", nullptr, 0), "");
    EXPECT_EQ(log.Records().size(), 8u);  // Entry and Exit only, four times
}

TEST(TranGetField, PlainSubstringSearchFindsTagInsideEarlierValue)
{
    char dest[16] = {};
    EXPECT_STREQ(KMO_TranGetField("|F51=F01 X=3|F01=7|", "F01", dest, sizeof dest), "3");
    EXPECT_STREQ(KMO_TranGetField("|A01=1|A01=2|", "A01", dest, sizeof dest), "1");
}

TEST(TranGetField, InvalidInputReturnsNullAndKeepsResultBuffer)
{
    const char* first = KMO_TranGetField("|A01=abc|", "A01", nullptr, 0);
    ASSERT_STREQ(first, "abc");
    LogCapture log;
    char dest[8] = "keep";
    EXPECT_EQ(KMO_TranGetField(nullptr, "A01", dest, sizeof dest), nullptr);
    EXPECT_EQ(KMO_TranGetField("", "A01", nullptr, 0), nullptr);
    EXPECT_EQ(KMO_TranGetField("|A01=abc|", "", dest, sizeof dest), nullptr);
    EXPECT_EQ(KMO_TranGetField("|A01=abc|", nullptr, nullptr, 0), nullptr);
    EXPECT_STREQ(first, "abc");
    EXPECT_STREQ(dest, "keep");
    EXPECT_EQ(log.Records(), Records(4, "DEBUG\tKMO_TranGetField Entry"));
}

TEST(TranGetField, ResultBufferIsSharedAndClearedByEveryValidCall)
{
    const char* text = "|A01=1|A02=2|A03=3|";
    const char* first = KMO_TranGetField(text, "A01", nullptr, 0);
    EXPECT_STREQ(first, "1");
    char mine[8] = {};
    KMO_TranGetField(text, "A02", mine, sizeof mine);
    EXPECT_STREQ(mine, "2");
    EXPECT_STREQ(first, "");  // cleared although the value went to `mine`
    const char* again = KMO_TranGetField(text, "A03", nullptr, 0);
    EXPECT_EQ(again, first);
    EXPECT_STREQ(first, "3");
}

TEST(TranGetField, DestinationMayOverlapText)
{
    char buf[32] = "|A01=x|B02=hello|";
    EXPECT_STREQ(KMO_TranGetField(buf, "B02", buf, sizeof buf), "hello");
    char shifted[32] = "|A01=abcdefgh|";
    EXPECT_STREQ(KMO_TranGetField(shifted, "A01", shifted + 3, sizeof shifted - 3), "abcdefgh");
}

TEST(TranGetField, CutsValuesAtTheDestinationCapacity)
{
    Guarded<4> small;
    KMO_TranGetField("|A01=abcdef|", "A01", small.data(), 4);
    EXPECT_EQ(small.str(), "abc");
    EXPECT_TRUE(small.GuardIntact());

    char one[1] = {'k'};
    KMO_TranGetField("|A01=abcdef|", "A01", one, sizeof one);
    EXPECT_EQ(one[0], '\0');
    char none[1] = {'k'};
    KMO_TranGetField("|A01=abcdef|", "A01", none, 0);
    EXPECT_EQ(none[0], 'k');

    const std::string text = "|A01=" + std::string(600, 'v') + "|";
    const char* result = KMO_TranGetField(text.c_str(), "A01", nullptr, 12345);
    EXPECT_EQ(std::string(result), std::string(KMO_TRAN_RESULT_SIZE - 1, 'v'));
}

TEST(TranGetField, LongTextIsSearchedInItsFirst4095Characters)
{
    // A 5000-character text: a field inside the first 4095 characters reads,
    // one whose separator lies beyond them does not.
    std::string text = "|A01=near|B02=" + std::string(4100, 'x') + "|C03=far|";
    text.resize(5000, 'y');
    char dest[16] = "keep";
    EXPECT_STREQ(KMO_TranGetField(text.c_str(), "A01", dest, sizeof dest), "near");
    std::strcpy(dest, "keep");
    EXPECT_STREQ(KMO_TranGetField(text.c_str(), "B02", dest, sizeof dest), "keep");
    EXPECT_STREQ(KMO_TranGetField(text.c_str(), "C03", dest, sizeof dest), "keep");

    std::string edge = "|" + std::string(4088, 'z') + "|D04=q|";  // '|' at index 4095
    EXPECT_STREQ(KMO_TranGetField(edge.c_str(), "D04", dest, sizeof dest), "keep");
    edge.erase(1, 1);  // now the closing '|' is the 4095th character
    EXPECT_STREQ(KMO_TranGetField(edge.c_str(), "D04", dest, sizeof dest), "q");
}

// ---- KMO_TranHasField and KMO_TranDelField ---------------------------------

TEST(TranHasField, MatchesTagCharactersAnywhereAndLogsNothing)
{
    LogCapture log;
    EXPECT_EQ(KMO_TranHasField("|F51=xF52y|", "F52"), 1);
    EXPECT_EQ(KMO_TranHasField("|F51=x|", "F52"), 0);
    EXPECT_EQ(KMO_TranHasField(nullptr, "F52"), 0);
    EXPECT_TRUE(log.Records().empty());
}

TEST(TranDelField, RemovesFieldUpToItsSeparatorKeepingThePrevious)
{
    LogCapture log;
    char text[32] = "|A01=x|B02=y|";
    EXPECT_EQ(KMO_TranDelField(text, "A01"), 0);
    EXPECT_STREQ(text, "|B02=y|");
    char inValue[32] = "|F51=F01 X|F01=7|";
    EXPECT_EQ(KMO_TranDelField(inValue, "F01"), 0);
    EXPECT_STREQ(inValue, "|F51=F01=7|");
    EXPECT_TRUE(log.Records().empty());
}

TEST(TranDelField, AbsentOrUnterminatedFieldLeavesTextAndInvalidInputFails)
{
    char text[32] = "|A01=x|B02=y";
    EXPECT_EQ(KMO_TranDelField(text, "C03"), 0);
    EXPECT_EQ(KMO_TranDelField(text, "B02"), 0);
    EXPECT_STREQ(text, "|A01=x|B02=y");
    EXPECT_EQ(KMO_TranDelField(text, ""), -1);
    EXPECT_EQ(KMO_TranDelField(text, nullptr), -1);
    EXPECT_EQ(KMO_TranDelField(nullptr, "A01"), -1);
    char empty[4] = {};
    EXPECT_EQ(KMO_TranDelField(empty, "A01"), -1);
    EXPECT_STREQ(text, "|A01=x|B02=y");
}

TEST(TranDelField, ReplacingAFieldMovesItToTheEnd)
{
    char text[64] = "|A01=1|A02=2|A03=3|";
    ASSERT_EQ(KMO_TranDelField(text, "A02"), 0);
    ASSERT_EQ(KMO_TranPutfield(text, sizeof text, "A02", "9"), 0);
    KMO_TranClose(text, sizeof text);
    EXPECT_STREQ(text, "|A01=1|A03=3|A02=9|");
}

// ---- Round trip ------------------------------------------------------------

TEST(TranRoundTrip, FieldsWrittenWithPutAndCloseReadBack)
{
    const std::vector<std::pair<std::string, std::string>> fields{
        {"G01", "0000012345"}, {"G99", "000020"}, {"G06", "a=b=c"},
        {"G41", ""},           {"F51", "RECETA PRE-AUTORIZADA"}, {"G04", "N\xFA" "mero"}};
    char text[1025] = {};
    for (const auto& [tag, value] : fields) {
        ASSERT_EQ(KMO_TranPutfield(text, sizeof text, tag.c_str(), value.c_str()), 0);
    }
    KMO_TranClose(text, sizeof text);
    for (const auto& [tag, value] : fields) {
        char dest[64] = "unset";
        KMO_TranGetField(text, tag.c_str(), dest, sizeof dest);
        EXPECT_EQ(dest, value) << tag;
    }
}

}  // namespace
