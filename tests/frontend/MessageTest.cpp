#include <gtest/gtest.h>

#include <iomanip>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>

#include "zvk/Message.h"

namespace zvk::test {
namespace {

static_assert(!std::is_copy_constructible_v<Message>);
static_assert(!std::is_copy_assignable_v<Message>);
static_assert(std::is_move_constructible_v<Message>);
static_assert(std::is_move_assignable_v<Message>);
static_assert(std::has_virtual_destructor_v<Message>);

TEST(MessageConstruction, DefaultIsLevelZeroAndEmpty) {
    Message message;
    EXPECT_EQ(message.level, 0);
    EXPECT_EQ(message.text.str(), "");
}

TEST(MessageConstruction, TakesOverTextAndLeavesCallerStreamEmpty) {
    std::ostringstream caller;
    caller << "12-06-2026 15:04:11.000250 GMT WARN disk at " << 93 << "%\n";
    Message message(std::move(caller), 5);
    EXPECT_EQ(message.level, 5);
    EXPECT_EQ(message.text.str(), "12-06-2026 15:04:11.000250 GMT WARN disk at 93%\n");
    EXPECT_EQ(caller.str(), "");
    EXPECT_TRUE(caller.good());
}

TEST(MessageConstruction, CallerStreamStaysUsable) {
    std::ostringstream caller;
    caller << "first";
    Message message(std::move(caller), 1);
    caller << "second";
    EXPECT_EQ(caller.str(), "second");
    EXPECT_EQ(message.text.str(), "first");
}

TEST(MessageConstruction, TakesOverFormattingState) {
    std::ostringstream caller;
    caller << std::hex << 255;
    Message message(std::move(caller), 2);
    message.text << ' ' << 255;
    EXPECT_EQ(message.text.str(), "ff ff");
}

TEST(MessageConstruction, ContinuedWritesAppendToTheText) {
    std::ostringstream caller;
    caller << "abc";
    Message message(std::move(caller), 3);
    message.text << "def";
    EXPECT_EQ(message.text.str(), "abcdef");
}

TEST(MessageMove, ConstructionCarriesLevelAndText) {
    std::ostringstream caller;
    caller << "record";
    Message source(std::move(caller), 7);
    Message moved(std::move(source));
    EXPECT_EQ(moved.level, 7);
    EXPECT_EQ(moved.text.str(), "record");
}

TEST(MessageMove, AssignmentCarriesLevelAndText) {
    std::ostringstream caller;
    caller << "assigned";
    Message source(std::move(caller), 4);
    Message target;
    target = std::move(source);
    EXPECT_EQ(target.level, 4);
    EXPECT_EQ(target.text.str(), "assigned");
}

TEST(MessageMove, AssignmentReplacesOldText) {
    std::ostringstream first;
    first << "old text that is longer";
    Message target(std::move(first), 1);
    std::ostringstream second;
    second << "new";
    Message source(std::move(second), 2);
    target = std::move(source);
    EXPECT_EQ(target.level, 2);
    EXPECT_EQ(target.text.str(), "new");
}

}  // namespace
}  // namespace zvk::test
