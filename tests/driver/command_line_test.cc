#include "driver/command_line.h"

#include <clocale>
#include <cmath>

#include <gtest/gtest.h>

namespace sorvanel {
namespace {

using Args = std::vector<std::string>;

TEST(SelectMode, OptionsAreFoundAnywhereIncludingElementZeroAndCheckWins) {
    EXPECT_EQ(selectMode({"SorvanelAudio", "--check", "output.m4a", "5"}), Mode::check);
    EXPECT_EQ(selectMode({"SorvanelAudio", "output.m4a", "5", "--request-permission"}),
              Mode::requestPermission);
    EXPECT_EQ(selectMode({"SorvanelAudio", "--request-permission", "--check"}), Mode::check);
    EXPECT_EQ(selectMode({"--check"}), Mode::check);
    EXPECT_EQ(selectMode({"--request-permission", "a"}), Mode::requestPermission);
}

TEST(SelectMode, OnlyWholeCaseSensitiveElementsAreOptions) {
    for (const char* near : {"--check=1", "--CHECK", "-check", "--check ",
                             "--request-permission=yes", "--Request-Permission", "check"}) {
        EXPECT_EQ(selectMode({"SorvanelAudio", near}), Mode::record) << near;
    }
    EXPECT_EQ(selectMode({}), Mode::record);
}

TEST(ParseDuration, AcceptsWhatStrtodReadsToTheEnd) {
    const std::pair<const char*, double> accepted[] = {
        {"5", 5},    {"+5", 5},    {"05", 5},   {"5.", 5},        {".5e1", 5},
        {"3e1", 30}, {"2.5", 2.5}, {"1e1", 10}, {"0x1E", 30},     {"0x1p4", 16},
        {"1", 1},    {"30", 30},   {"-5", -5},  {"0.999", 0.999}, {"30.0001", 30.0001}};
    for (const auto& [text, value] : accepted) {
        const auto parsed = parseDuration(text);
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(*parsed, value) << text;
    }
    EXPECT_TRUE(std::isinf(*parseDuration("inf")));
    EXPECT_TRUE(std::isinf(*parseDuration("Infinity")));
    EXPECT_TRUE(std::isnan(*parseDuration("NaN")));
}

TEST(ParseDuration, RefusesWhiteSpaceTrailingTextAndEmptiness) {
    for (const char* text : {"", " 5", "\t5", "\n5", "\v5", "\f5", "\r5", "5 ", "5\n", "5s", "1,5",
                             "abc", "5e", "--5", "0x"}) {
        // "5e" and "0x" read as 5 and 0 with text left over.
        EXPECT_FALSE(parseDuration(text)) << '"' << text << '"';
    }
    EXPECT_FALSE(
        parseDuration(std::string_view("5\0"
                                       "0",
                                       3)));
}

TEST(ParseDuration, UsesTheDotWhateverTheEnvironmentsLocale) {
    // A locale with a decimal comma, where one is installed; the "C" rules hold either way.
    const char* previous = std::setlocale(LC_ALL, nullptr);
    const std::string saved = previous ? previous : "C";
    std::setlocale(LC_ALL, "de_DE.UTF-8");
    const auto dot = parseDuration("2.5");
    const auto comma = parseDuration("2,5");
    std::setlocale(LC_ALL, saved.c_str());
    ASSERT_TRUE(dot);
    EXPECT_EQ(*dot, 2.5);
    EXPECT_FALSE(comma);
}

TEST(DurationRange, BoundsAreInclusiveAndNaNIsRefused) {
    EXPECT_TRUE(isAcceptedDuration(1.0));
    EXPECT_TRUE(isAcceptedDuration(30.0));
    EXPECT_TRUE(isAcceptedDuration(2.5));
    EXPECT_FALSE(isAcceptedDuration(0.999));
    EXPECT_FALSE(isAcceptedDuration(30.0001));
    EXPECT_FALSE(isAcceptedDuration(-5));
    EXPECT_FALSE(isAcceptedDuration(std::nan("")));
    EXPECT_FALSE(isAcceptedDuration(INFINITY));
    EXPECT_FALSE(isAcceptedDuration(-INFINITY));
    EXPECT_FALSE(isAcceptedDuration(1e-320));  // tiny values fail the range, not the parse
}

}  // namespace
}  // namespace sorvanel
