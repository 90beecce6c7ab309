// The troquel check of a request's G06.
#include <gtest/gtest.h>

#include <string>

#include "kmoclient_internal.h"

namespace {

std::string Record(std::size_t width, const std::string& number)
{
    return std::string(width - number.size(), '0') + number;
}

struct Checked {
    TroquelCheck result;
    std::string kept;
    int count;
};

Checked Check(const std::string& g06, int max = 2)
{
    char kept[KMO_TROQUEL_SIZE];
    int count = -1;
    const TroquelCheck r = client_CheckTroqueles(g06, max, kept, &count);
    return {r, kept, count};
}

TEST(TroquelCheckTest, WidthIsTheFirstOf51_52_53ThatDividesTheLength)
{
    const std::string zero51 = Record(51, "0");
    const std::string one51 = Record(51, "1234567");
    Checked c = Check(zero51 + one51);   // 102: width 51, one kept
    EXPECT_EQ(c.result, TroquelCheck::Ok);
    EXPECT_EQ(c.kept, one51);
    EXPECT_EQ(c.count, 1);

    const std::string r52 = Record(52, "77");
    c = Check(r52 + Record(52, "0") + r52);   // 156: three records of 52
    EXPECT_EQ(c.result, TroquelCheck::Ok);
    EXPECT_EQ(c.kept, r52 + r52);
    EXPECT_EQ(c.count, 2);

    const std::string r53 = Record(53, "9");
    c = Check(r53);
    EXPECT_EQ(c.kept, r53);

    EXPECT_EQ(Check(std::string(100, '1')).result, TroquelCheck::BadFormat);
    EXPECT_EQ(Check(std::string(50, '1')).result, TroquelCheck::BadFormat);
}

TEST(TroquelCheckTest, EmptyFieldAndZeroRecordsKeepNothing)
{
    Checked c = Check("");
    EXPECT_EQ(c.result, TroquelCheck::Ok);
    EXPECT_EQ(c.count, 0);
    EXPECT_EQ(c.kept, "");

    // Blanks, a sign and non-digits read as atoi reads them.
    c = Check(std::string(51, ' ') + "-0" + std::string(49, 'x') + "abc" + std::string(48, '1'));
    EXPECT_EQ(c.result, TroquelCheck::Ok);
    EXPECT_EQ(c.count, 0);

    c = Check("  -5" + std::string(47, 'x'));
    EXPECT_EQ(c.count, 1);
}

TEST(TroquelCheckTest, CountLimit)
{
    const std::string r = Record(51, "5");
    EXPECT_EQ(Check(r + r).result, TroquelCheck::Ok);
    EXPECT_EQ(Check(r + r + r).result, TroquelCheck::TooMany);
    EXPECT_EQ(Check(r + r + r, 3).result, TroquelCheck::Ok);
    EXPECT_EQ(Check(r, 0).result, TroquelCheck::TooMany);
    EXPECT_EQ(Check(Record(51, "0"), 0).result, TroquelCheck::Ok);
}

TEST(TroquelCheckTest, FiveWidestRecordsFitAndLongerFieldsAreFormatErrors)
{
    const std::string r53 = std::string(53, '9');   // a number far beyond long: still "not zero"
    Checked c = Check(r53 + r53 + r53 + r53 + r53, 5);
    EXPECT_EQ(c.result, TroquelCheck::Ok);
    EXPECT_EQ(c.count, 5);
    EXPECT_EQ(c.kept.size(), 265u);

    const std::string r51 = Record(51, "0");
    EXPECT_EQ(Check(r51 + r51 + r51 + r51 + r51 + r51, 9).result, TroquelCheck::BadFormat);   // 306
}

}  // namespace
