// Reply normalisation: order, widths and pads, the optional F41, line ends,
// idempotence and the capacity of the caller's buffer.
#include <gtest/gtest.h>

#include <array>
#include <initializer_list>
#include <cstring>
#include <string>
#include <vector>

#include "kmoclient.h"

namespace {

std::string Normalized(const std::string& in, std::size_t cap = KMO_REQUEST_SIZE)
{
    std::array<char, 4096> buf{};
    std::memcpy(buf.data(), in.data(), std::min(in.size(), cap - 1));
    KMOClient_NormalizeResponse(buf.data(), cap);
    return std::string(buf.data());
}

std::string Field(const char* tag, const std::string& value)
{
    return std::string(tag) + "=" + value + "|";
}

// The normalised tail with the given values, F41 left out when empty.
std::string Tail(const std::string& f01, const std::string& f04, const std::string& f08, const std::string& f41,
                 const std::string& f50, const std::string& f51, const std::string& f52, const std::string& f06,
                 const std::string& f99)
{
    std::string t = Field("F01", f01) + Field("F04", f04) + Field("F08", f08);
    if (!f41.empty()) {
        t += Field("F41", f41);
    }
    return t + Field("F50", f50) + Field("F51", f51) + Field("F52", f52) + Field("F06", f06) + Field("F99", f99);
}

const std::string kZeros100(100, '0');

TEST(NormalizeTest, PadsAndOrdersTheReplyFields)
{
    EXPECT_EQ(Normalized("|F50=0|F01=123|F51=OK|"),
              "|" + Tail("0000000123", std::string(20, '0'), std::string(10, '0'), "", "00",
                         "OK" + std::string(48, ' '), std::string(12, '0'), kZeros100, "000000") + "\n");
}

TEST(NormalizeTest, EmptyTextGetsEveryFieldButF41)
{
    EXPECT_EQ(Normalized(""), "|" + Tail(std::string(10, '0'), std::string(20, '0'), std::string(10, '0'), "", "00",
                                         std::string(50, ' '), std::string(12, '0'), kZeros100, "000000") + "\n");
}

TEST(NormalizeTest, OtherFieldsStayInFrontAndF41MovesAfterF08)
{
    const std::string out = Normalized("|X01=a|F41=caja1|F52=G20260000001|X02=b|F99=000021|");
    EXPECT_EQ(out, "|X01=a|X02=b|" + Tail(std::string(10, '0'), std::string(20, '0'), std::string(10, '0'), "caja1",
                                          "00", std::string(50, ' '), "G20260000001", kZeros100, "000021") + "\n");
}

// A value at or over its width stays whole: a cut one would read as another
// value (an 11-digit pharmacy code cut to 10 is another pharmacy's).
TEST(NormalizeTest, ValuesAtOrOverTheirWidthStayWhole)
{
    const std::string msg50(50, 'm');
    const std::string name56(56, 't');   // the longest terminal name
    const std::string f06(150, '7');
    const std::string out = Normalized("|F01=12345678901|F51=" + msg50 + "x|F04=123456789012345678901234|"
                                       "|F41=" + name56 + "|F50=ABC|F06=" + f06 + "|F99=0000201|");
    for (const std::string& field : std::vector<std::string>{"|F01=12345678901|", "|F51=" + msg50 + "x|", "|F04=123456789012345678901234|",
                                     "|F08=0000000000|F41=" + name56 + "|F50=ABC|", "|F06=" + f06 + "|",
                                     "|F99=0000201|"}) {
        EXPECT_NE(out.find(field), std::string::npos) << field << " in " << out;
    }
    EXPECT_EQ(Normalized(out), out);
}

TEST(NormalizeTest, TrailingLineEndsGoButTheFirstCharacterStays)
{
    const std::string expected = "|" + Tail(std::string(10, '0'), std::string(20, '0'), std::string(10, '0'), "",
                                            "ER", std::string(50, ' '), std::string(12, '0'), kZeros100, "000000") +
                                 "\n";
    EXPECT_EQ(Normalized("|F50=ER|\r\n\n\r"), expected);
    // A lone LF is the first character and stays; the fields follow it.
    const std::string lone = Normalized("\n");
    EXPECT_EQ(lone.substr(0, 6), "\n|F01=");
    EXPECT_EQ(lone.back(), '\n');
}

TEST(NormalizeTest, SecondPassChangesNothing)
{
    for (const std::string& in : std::initializer_list<std::string>{
             "", "|F50=0|F01=123|F51=OK|", "|X01=a|F41=t|F52=I20260000007|\r\n", "|F52=G202610000000|",
             "|F01=123456789012345|F06=" + std::string(150, '7') + "|"}) {
        const std::string once = Normalized(in);
        EXPECT_EQ(Normalized(once), once) << in;
    }
}

TEST(NormalizeTest, ReplyTooLongForTheBufferDropsWholeLeadingFieldsOnly)
{
    // 40 unknown fields of 24 characters: 960 characters in front of the tail.
    std::string in = "|";
    for (int i = 0; i < 40; ++i) {
        char tag[8];
        std::snprintf(tag, sizeof tag, "X%02d", i);
        in += std::string(tag) + "=" + std::string(19, 'v') + "|";
    }
    in += "F52=G20260000042|";
    std::array<char, KMO_REQUEST_SIZE + 64> buf{};
    buf.fill('#');
    std::memcpy(buf.data(), in.data(), in.size() + 1);
    KMOClient_NormalizeResponse(buf.data(), KMO_REQUEST_SIZE);

    const std::string out(buf.data());
    EXPECT_LE(out.size(), KMO_REQUEST_SIZE - 1);
    for (std::size_t i = KMO_REQUEST_SIZE; i < buf.size(); ++i) {
        ASSERT_EQ(buf[i], '#') << "written past the capacity at " << i;
    }
    const std::string tail = Tail(std::string(10, '0'), std::string(20, '0'), std::string(10, '0'), "", "00",
                                  std::string(50, ' '), "G20260000042", kZeros100, "000000") + "\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    // What stays in front is whole fields, in their order, from the first.
    const std::string head = out.substr(0, out.size() - tail.size());
    EXPECT_EQ(head, in.substr(0, head.size()));
    EXPECT_EQ(head.back(), '|');
    EXPECT_EQ(Normalized(out), out);
}

TEST(NormalizeTest, TinyBufferIsCutNotOverrun)
{
    std::array<char, 64> buf{};
    buf.fill('#');
    std::strcpy(buf.data(), "|F01=1|");
    KMOClient_NormalizeResponse(buf.data(), 32);
    EXPECT_EQ(std::strlen(buf.data()), 31u);
    EXPECT_EQ(std::string(buf.data()), "|F01=0000000001|F04=00000000000");
    for (std::size_t i = 32; i < buf.size(); ++i) {
        ASSERT_EQ(buf[i], '#');
    }
}

}  // namespace
