#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <set>
#include <string>

#include "TestSupport.h"
#include "zvk/VornConfig.h"
#include "zvk/XMLDoc.h"

// Failure injection: the n-th allocation on the arming thread throws. The
// only exceptions the model can meet come from allocation, so this is how
// its diagnostics are reached. ThreadSanitizer's runtime defines operator
// new itself, so there the cases are skipped.
#ifdef ZVK_TEST_TSAN
#define SKIP_WITHOUT_INJECTION() GTEST_SKIP() << "operator new belongs to ThreadSanitizer"
#else
#define SKIP_WITHOUT_INJECTION() (void)0
#endif

namespace {

enum class Throw { bad_alloc, non_standard };

thread_local long fail_countdown = -1;
thread_local Throw fail_kind = Throw::bad_alloc;

}  // namespace

#ifndef ZVK_TEST_TSAN
void* operator new(std::size_t size) {
    if (fail_countdown >= 0 && fail_countdown-- == 0) {
        if (fail_kind == Throw::non_standard) {
            throw 42;
        }
        throw std::bad_alloc();
    }
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}

// The library's std::stable_sort asks for its buffer this way: with only
// the throwing form replaced, the sanitizer's own nothrow form would pair
// with the free() below.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (...) {
        return nullptr;
    }
}

// GCC takes the free() in a replaced operator delete for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* memory) noexcept { std::free(memory); }

void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

namespace {

using zvk::VornConfig;

struct Outcome {
    int result;
    std::string output;
};

// Runs init on a fresh model of `xml`, failing the n-th allocation.
Outcome init_failing_at(const std::string& xml, long n, Throw kind) {
    VornConfig config;
    config.xml_doc = new zvk::XMLDoc();
    EXPECT_EQ(config.xml_doc->load(xml), 0);
    zvk::test::CaptureFd out(1);
    fail_kind = kind;
    fail_countdown = n;
    int result = config.init();
    fail_countdown = -1;
    return {result, out.text()};
}

// Every outcome over all injection points; stops once init no longer fails.
std::set<std::string> sweep(const std::string& xml, Throw kind) {
    std::set<std::string> lines;
    for (long n = 0; n < 10000; ++n) {
        Outcome outcome = init_failing_at(xml, n, kind);
        if (outcome.result == 0) {
            EXPECT_EQ(outcome.output, "") << "at allocation " << n;
            break;
        }
        EXPECT_EQ(outcome.result, -1);
        EXPECT_EQ(std::count(outcome.output.begin(), outcome.output.end(), '\n'), 1)
            << "one line per failure: " << outcome.output;
        EXPECT_EQ(outcome.output.back(), '\n');
        lines.insert(outcome.output);
    }
    return lines;
}

const std::string target_xml =
    "<v><target name=\"a_target_name_beyond_short_strings\">"
    "<type>file</type><file_name>a_file_name_beyond_short_strings.log</file_name></target></v>";

const std::string logger_xml =
    "<v><target name=\"t\"><type>stdout</type></target>"
    "<logger name=\"a_logger_name_beyond_short_strings\"><target>t</target>"
    "<owner>an_owner_value_beyond_short_strings</owner></logger></v>";

const std::string value_xml =
    "<v><a_value_name_beyond_short_strings>x</a_value_name_beyond_short_strings></v>";

// The name is empty in the line when copying the name itself failed.
TEST(VornConfigMessages, TargetExceptionLine) {
    SKIP_WITHOUT_INJECTION();
    std::set<std::string> lines = sweep(target_xml, Throw::bad_alloc);
    EXPECT_EQ(lines, (std::set<std::string>{
                         "exception occurred while loading target:  from config - std::bad_alloc\n",
                         "exception occurred while loading target: "
                         "a_target_name_beyond_short_strings from config - std::bad_alloc\n"}));
}

TEST(VornConfigMessages, TargetUnknownExceptionLine) {
    SKIP_WITHOUT_INJECTION();
    std::set<std::string> lines = sweep(target_xml, Throw::non_standard);
    EXPECT_EQ(lines, (std::set<std::string>{"unknown exception occurred while loading target:  "
                                            "from config\n",
                                            "unknown exception occurred while loading target: "
                                            "a_target_name_beyond_short_strings from config\n"}));
}

TEST(VornConfigMessages, LoggerExceptionLines) {
    SKIP_WITHOUT_INJECTION();
    std::set<std::string> lines = sweep(logger_xml, Throw::bad_alloc);
    EXPECT_EQ(lines.count("exception occurred while loading logger: "
                          "a_logger_name_beyond_short_strings from config - std::bad_alloc\n"),
              1u);
    lines = sweep(logger_xml, Throw::non_standard);
    EXPECT_EQ(lines.count("unknown exception occurred while loading logger: "
                          "a_logger_name_beyond_short_strings from config\n"),
              1u);
}

TEST(VornConfigMessages, ValueExceptionFailsInit) {
    SKIP_WITHOUT_INJECTION();
    std::set<std::string> lines = sweep(value_xml, Throw::bad_alloc);
    EXPECT_EQ(lines,
              (std::set<std::string>{"exception occurred while getting logger from config\n"}));
}

TEST(VornConfigMessages, FailedRecordIsNotStored) {
    SKIP_WITHOUT_INJECTION();
    for (long n = 0; n < 10000; ++n) {
        VornConfig config;
        config.xml_doc = new zvk::XMLDoc();
        ASSERT_EQ(config.xml_doc->load(logger_xml), 0);
        zvk::test::CaptureFd out(1);
        fail_countdown = n;
        int result = config.init();
        fail_countdown = -1;
        out.text();
        for (const auto& [name, logger] : config.loggers) {
            ASSERT_NE(logger, nullptr);
            EXPECT_EQ(logger->name, name);
            EXPECT_EQ(logger->target, config.get_target("t"));
        }
        if (result == 0) {
            EXPECT_EQ(config.loggers.size(), 1u);
            break;
        }
    }
}

}  // namespace
