// VORN_LOG composes in a stream of the thread's own, reused: each
// statement must still start as a new stream would.
#include <gtest/gtest.h>

#include <iomanip>
#include <locale>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "RecordingTarget.h"
#include "TestSupport.h"
#include "zvk/Logger.h"
#include "zvk/Vorn.h"

namespace zvk::test {
namespace {

// A handle that logs into a recording target, without the service.
struct Recorded {
    Recorded() : journal(std::make_shared<Journal>()), target(journal) {
        target.start(nullptr);
        handle.logger = &logger;
        handle.level = Vorn::DEBUG;
    }
    ~Recorded() { handle.logger = nullptr; }

    // The messages written so far, each without its stamp and level word.
    std::vector<std::string> messages() {
        EXPECT_EQ(target.flush(), 0);
        std::vector<std::string> out;
        for (const std::string& text : journal->texts()) {
            const std::size_t at = text.find(" INFO ");
            out.push_back(at == std::string::npos ? text : text.substr(at + 6));
        }
        return out;
    }

    std::shared_ptr<Journal> journal;
    RecordingTarget target;
    Logger logger{"statement", &target, Logger::DEBUG};
    Vorn handle;
};

struct Leftover {
    const char* name;
    void (*set)(std::ostream&);
};

void PrintTo(const Leftover& row, std::ostream* out) { *out << row.name; }

class StatementStream : public ::testing::TestWithParam<Leftover> {};

// What an earlier statement set on the stream is gone in the next one.
// Runs a row's setter on the stream it is printed to.
struct Apply {
    void (*set)(std::ostream&);
    friend std::ostream& operator<<(std::ostream& out, const Apply& apply) {
        apply.set(out);
        return out;
    }
};

// What an earlier statement set on the stream is gone in the next one.
TEST_P(StatementStream, StartsAsNewStream) {
    Recorded recorded;
    VORN_LOG(recorded.handle, INFO, "set" << Apply{GetParam().set});
    VORN_LOG(
        recorded.handle, INFO,
        1234567 << ' ' << 3.14159265 << ' ' << true << ' ' << std::setw(4) << 7 << ' ' << 1e-7);
    const std::vector<std::string> messages = recorded.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1], "1234567 3.14159 1    7 1e-07\n");
}

INSTANTIATE_TEST_SUITE_P(
    Manipulators, StatementStream,
    ::testing::Values(
        Leftover{"hex", [](std::ostream& out) { out << std::hex << std::showbase; }},
        Leftover{"precision", [](std::ostream& out) { out << std::setprecision(2) << std::fixed; }},
        Leftover{"fill", [](std::ostream& out) { out << std::setfill('*') << std::left; }},
        Leftover{"boolalpha", [](std::ostream& out) { out << std::boolalpha << std::showpos; }},
        Leftover{"uppercase", [](std::ostream& out) { out << std::uppercase << std::scientific; }},
        Leftover{"badbit", [](std::ostream& out) { out.setstate(std::ios_base::badbit); }},
        Leftover{"tie", [](std::ostream& out) { out.tie(&std::cout); }},
        Leftover{"iword", [](std::ostream& out) { out.iword(std::ios_base::xalloc()) = 1; }},
        Leftover{"imbue",
                 [](std::ostream& out) {
                     struct Grouping : std::numpunct<char> {
                         char do_thousands_sep() const override { return ','; }
                         std::string do_grouping() const override { return "\3"; }
                     };
                     out.imbue(std::locale(out.getloc(), new Grouping));
                 }}),
    [](const ::testing::TestParamInfo<Leftover>& info) { return std::string(info.param.name); });

TEST(StatementStreamReuse, OneStreamPerThreadAndDepth) {
    Vorn handle;
    std::ostringstream* first = nullptr;
    std::ostringstream* nested = nullptr;
    {
        Vorn::Statement statement(handle, "INFO");
        first = &statement.text();
        Vorn::Statement inner(handle, "INFO");
        nested = &inner.text();
    }
    EXPECT_NE(first, nested);
    Vorn::Statement again(handle, "INFO");
    EXPECT_EQ(&again.text(), first);
    std::ostringstream* other = nullptr;
    std::thread([&] {
        Vorn::Statement there(handle, "INFO");
        other = &there.text();
    }).join();
    EXPECT_NE(other, first);
}

// Prints as its value, and logs while it is printed.
struct Logging {
    const Vorn* handle;
    int value;
    friend std::ostream& operator<<(std::ostream& out, const Logging& item) {
        VORN_LOG(*item.handle, INFO, "inner " << std::hex << item.value);
        return out << item.value;
    }
};

struct Throwing {
    friend std::ostream& operator<<(std::ostream& out, const Throwing&) {
        out << std::hex;
        throw std::runtime_error("cannot print");
    }
};

TEST(StatementStreamNesting, PrintingThatLogsAndThrows) {
    Recorded recorded;
    VORN_LOG(recorded.handle, INFO, "outer " << Logging{&recorded.handle, 26} << " done");
    EXPECT_THROW(VORN_LOG(recorded.handle, INFO, "lost " << Throwing{}), std::runtime_error);
    VORN_LOG(recorded.handle, INFO, "next " << 26);
    EXPECT_EQ(recorded.messages(),
              (std::vector<std::string>{"inner 1a\n", "outer 26 done\n", "next 26\n"}));
}

// The global locale in force when a statement begins is the one it uses,
// whoever changed it.
TEST(StatementStreamLocale, FollowsGlobalLocale) {
    isolated([] {
        Recorded recorded;
        struct Grouping : std::numpunct<char> {
            char do_thousands_sep() const override { return '\''; }
            std::string do_grouping() const override { return "\3"; }
        };
        VORN_LOG(recorded.handle, INFO, 1234567);
        std::locale::global(std::locale(std::locale::classic(), new Grouping));
        VORN_LOG(recorded.handle, INFO, 1234567);
        std::locale::global(std::locale::classic());
        VORN_LOG(recorded.handle, INFO, 1234567);
        EXPECT_EQ(recorded.messages(),
                  (std::vector<std::string>{"1234567\n", "1'234'567\n", "1234567\n"}));
    });
}

}  // namespace
}  // namespace zvk::test
