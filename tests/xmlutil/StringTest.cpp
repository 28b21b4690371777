#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "zvk/String.h"

namespace {

struct Accepted {
    const char* text;
    int value;
};

TEST(StringToInt, AcceptsSignedDecimals) {
    const Accepted cases[] = {{"0", 0},
                              {"7", 7},
                              {"+7", 7},
                              {"-7", -7},
                              {"-0", 0},
                              {"007", 7},
                              {"2147483647", INT_MAX},
                              {"-2147483648", INT_MIN},
                              {"+2147483647", INT_MAX}};
    for (const auto& c : cases) {
        int value = 12345;
        EXPECT_TRUE(zvk::String::str_to_int(c.text, value)) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
}

TEST(StringToInt, RejectsEverythingElseAndKeepsValue) {
    const char* rejected[] = {"",
                              " ",
                              " 5",
                              "5 ",
                              "+",
                              "-",
                              "+-5",
                              "-+5",
                              "++5",
                              "--5",
                              "5a",
                              "a5",
                              "0x10",
                              "1e3",
                              "1.5",
                              "1,000",
                              "2147483648",
                              "-2147483649",
                              "99999999999999999999",
                              "\t3",
                              "3\n"};
    for (const char* text : rejected) {
        int value = 42;
        EXPECT_FALSE(zvk::String::str_to_int(text, value)) << '"' << text << '"';
        EXPECT_EQ(value, 42) << '"' << text << '"';
    }
}

TEST(StringToInt, ReadsOnlyTheGivenView) {
    std::string backing = "123456";
    int value = 0;
    EXPECT_TRUE(zvk::String::str_to_int(std::string_view(backing).substr(0, 3), value));
    EXPECT_EQ(value, 123);
    std::string with_nul(
        "12\0"
        "3",
        4);
    value = 9;
    EXPECT_FALSE(zvk::String::str_to_int(with_nul, value));
    EXPECT_EQ(value, 9);
}

}  // namespace
