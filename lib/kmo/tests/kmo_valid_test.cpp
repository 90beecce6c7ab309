// Field value checks and their entry and exit records.
#include "kmo_valid.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log_capture.h"

namespace {

using Records = std::vector<std::string>;

TEST(ValidFieldNumeric, OnlyDecimalDigitsPass)
{
    EXPECT_EQ(KMO_ValidFieldNumeric("0123"), 1);
    for (const char* bad : {"", "12a", "-1", "1.5", " 1", "1 ", "\xB9"}) {
        EXPECT_EQ(KMO_ValidFieldNumeric(bad), 0) << bad;
    }
    EXPECT_EQ(KMO_ValidFieldNumeric(nullptr), 0);
}

TEST(ValidFieldAlfa, OnlyAsciiLettersPass)
{
    EXPECT_EQ(KMO_ValidFieldAlfa("abcXYZ"), 1);
    for (const char* bad : {"", "ab c", "ab1", "a\xF1o", "@", "[", "`", "{"}) {
        EXPECT_EQ(KMO_ValidFieldAlfa(bad), 0) << bad;
    }
    EXPECT_EQ(KMO_ValidFieldAlfa(nullptr), 0);
}

TEST(ValidFieldLength, ComparesCharacterCount)
{
    EXPECT_EQ(KMO_ValidFieldLength("000020", 6), 1);
    EXPECT_EQ(KMO_ValidFieldLength("000020", 7), 0);
    EXPECT_EQ(KMO_ValidFieldLength("", 0), 1);
    EXPECT_EQ(KMO_ValidFieldLength("", -1), 0);
    EXPECT_EQ(KMO_ValidFieldLength(nullptr, 0), 0);
}

TEST(ValidFieldDate, DayMonthYearRanges)
{
    const char* fmt = "DD/MM/YYYY";
    EXPECT_EQ(KMO_ValidFieldDate("25/12/2020", fmt), 1);
    EXPECT_EQ(KMO_ValidFieldDate("01/01/1900", fmt), 1);
    EXPECT_EQ(KMO_ValidFieldDate("31/02/2021", fmt), 1);  // not checked against the month
    EXPECT_EQ(KMO_ValidFieldDate("00/12/2020", fmt), 0);
    EXPECT_EQ(KMO_ValidFieldDate("32/12/2020", fmt), 0);
    EXPECT_EQ(KMO_ValidFieldDate("25/00/2020", fmt), 0);
    EXPECT_EQ(KMO_ValidFieldDate("25/13/2020", fmt), 0);
    EXPECT_EQ(KMO_ValidFieldDate("25/12/1899", fmt), 0);
    // Fields convert like atoi: blanks skipped, stop at the first non-digit.
    EXPECT_EQ(KMO_ValidFieldDate("1a/12/2020", fmt), 1);
    EXPECT_EQ(KMO_ValidFieldDate(" 5/12/2020", fmt), 1);
    EXPECT_EQ(KMO_ValidFieldDate("25/12/20x0", fmt), 0);  // year 20
}

TEST(ValidFieldDate, OneSeparatorSufficesAndFormatMustMatchExactly)
{
    const char* fmt = "DD/MM/YYYY";
    EXPECT_EQ(KMO_ValidFieldDate("25/12-2020", fmt), 1);
    EXPECT_EQ(KMO_ValidFieldDate("25-12/2020", fmt), 1);
    EXPECT_EQ(KMO_ValidFieldDate("25-12-2020", fmt), 0);
    EXPECT_EQ(KMO_ValidFieldDate("25/12/2020", "YYYY-MM-DD"), 0);
    EXPECT_EQ(KMO_ValidFieldDate("25/12/2020", "dd/mm/yyyy"), 0);
    EXPECT_EQ(KMO_ValidFieldDate("25/12/2020", "DD/MM/YYYY "), 0);
    EXPECT_EQ(KMO_ValidFieldDate("25/12/2020", ""), 0);
    EXPECT_EQ(KMO_ValidFieldDate("25/12/2020", nullptr), 0);
    EXPECT_EQ(KMO_ValidFieldDate("", fmt), 0);
    EXPECT_EQ(KMO_ValidFieldDate(nullptr, fmt), 0);
}

TEST(ValidFieldDate, ShortValueIsFalseAndNotReadPastItsEnd)
{
    // Heap copies of exactly the value's size let the sanitizer see any overread.
    for (const char* shortDate : {"25/12/202", "25/12/", "2", "25/1"}) {
        const std::string copy(shortDate);
        std::vector<char> exact(copy.begin(), copy.end());
        exact.push_back('\0');
        EXPECT_EQ(KMO_ValidFieldDate(exact.data(), "DD/MM/YYYY"), 0) << shortDate;
    }
}

TEST(ValidRecords, EntryAndExitRecordsCarryArgumentsAndVerdict)
{
    LogCapture log;
    KMO_ValidFieldNumeric("12");
    KMO_ValidFieldAlfa("a1");
    KMO_ValidFieldLength("abc", 3);
    KMO_ValidFieldDate("25/12/2020", "DD/MM/YYYY");
    EXPECT_EQ(log.Records(),
              (Records{"DEBUG\tKMO_ValidFieldNumeric Entry FieldValue=12",
                       "DEBUG\tKMO_ValidFieldNumeric Exit RetValue=TRUE",
                       "DEBUG\tKMO_ValidFieldAlfa Entry FieldValue=a1",
                       "DEBUG\tKMO_ValidFieldAlfa Exit RetValue=FALSE",
                       "DEBUG\tKMO_ValidFieldLength Entry FieldValue=abc Length=3",
                       "DEBUG\tKMO_ValidFieldLength Exit RetValue=TRUE",
                       "DEBUG\tKMO_ValidFieldDate Entry FieldValue=25/12/2020 Format=DD/MM/YYYY",
                       "DEBUG\tKMO_ValidFieldDate Exit RetValue=TRUE"}));
}

}  // namespace
