// VORN_LOGF: the record VORN_LOG would write, composed by {fmt} in a
// buffer of the calling thread and handed over as bytes.
#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "RecordingTarget.h"
#include "TestSupport.h"
#include "zvk/Logger.h"
#include "zvk/Vorn.h"
#include "zvk/VornFormat.h"

namespace zvk::test {
namespace {

struct Venue {
    const char* name;
    int tier;
};

// Logs while it is formatted, or throws when `thrower`.
struct Noisy {
    const Vorn* handle;
    bool thrower;
};

}  // namespace
}  // namespace zvk::test

template <>
struct fmt::formatter<zvk::test::Venue> : fmt::formatter<std::string_view> {
    auto format(const zvk::test::Venue& venue, format_context& ctx) const {
        return fmt::format_to(ctx.out(), "{}-{}", venue.name, venue.tier);
    }
};

template <>
struct fmt::formatter<zvk::test::Noisy> : fmt::formatter<std::string_view> {
    auto format(const zvk::test::Noisy& noisy, format_context& ctx) const {
        if (noisy.thrower) {
            throw std::runtime_error("cannot format");
        }
        VORN_LOGF(*noisy.handle, INFO, "inner {:x}", 26);
        return fmt::format_to(ctx.out(), "noisy");
    }
};

namespace zvk::test {
namespace {

struct Recorded {
    explicit Recorded(Vorn::Level level = Vorn::DEBUG)
        : journal(std::make_shared<Journal>()), target(journal) {
        target.start(nullptr);
        handle.logger = &logger;
        handle.level = level;
    }
    ~Recorded() { handle.logger = nullptr; }

    std::vector<std::string> texts() {
        EXPECT_EQ(target.flush(), 0);
        return journal->texts();
    }

    std::shared_ptr<Journal> journal;
    RecordingTarget target;
    Logger logger{"format", &target, Logger::DEBUG};
    Vorn handle;
};

std::string without_stamp(const std::string& text) {
    std::smatch stamp;
    EXPECT_TRUE(std::regex_search(text, stamp, std::regex("^" + StampPattern + " "))) << text;
    return stamp.empty() ? text : text.substr(stamp.length(0));
}

TEST(VornFormat, WritesTheLayoutOfVornLog) {
    Recorded recorded;
    const double price = 124.25;
    VORN_LOGF(recorded.handle, INFO, "order {} filled at {:.2f} qty {} venue {} thread {}", 1000123,
              price, 103, Venue{"XNAS", 1}, 0);
    VORN_LOG(recorded.handle, INFO,
             "order " << 1000123 << " filled at " << price << " qty " << 103
                      << " venue XNAS-1 thread " << 0);
    VORN_LOGF(recorded.handle, OUT, "{} {}", std::string(300, 'x'), true);
    const std::vector<std::string> texts = recorded.texts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(without_stamp(texts[0]),
              "INFO order 1000123 filled at 124.25 qty 103 venue XNAS-1 thread 0\n");
    EXPECT_EQ(without_stamp(texts[0]), without_stamp(texts[1]));
    EXPECT_EQ(without_stamp(texts[2]), "OUT " + std::string(300, 'x') + " true\n");
    EXPECT_EQ(recorded.journal->levels, (std::vector<int>{Vorn::INFO, Vorn::INFO, Vorn::OUT}));
    EXPECT_STREQ(recorded.journal->origins[0].file, __FILE__);
    EXPECT_GT(recorded.journal->origins[0].line, 0);
}

TEST(VornFormat, FilteredOutEvaluatesNoArgument) {
    Recorded recorded(Vorn::WARN);
    int evaluated = 0;
    auto counted = [&evaluated] { return ++evaluated; };
    VORN_LOGF(recorded.handle, DEBUG, "hidden {}", counted());
    VORN_LOGF(recorded.handle, INFO, "hidden {}", counted());
    VORN_LOGF(recorded.handle, WARN, "shown {}", counted());
    EXPECT_EQ(evaluated, 1);
    const std::vector<std::string> texts = recorded.texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(without_stamp(texts[0]), "WARN shown 1\n");
}

TEST(VornFormat, FormatterThatLogsOrThrows) {
    Recorded recorded;
    VORN_LOGF(recorded.handle, INFO, "outer {} done", Noisy{&recorded.handle, false});
    EXPECT_THROW(VORN_LOGF(recorded.handle, INFO, "lost {}", Noisy{&recorded.handle, true}),
                 std::runtime_error);
    VORN_LOGF(recorded.handle, INFO, "next {}", 26);
    const std::vector<std::string> texts = recorded.texts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(without_stamp(texts[0]), "INFO inner 1a\n");
    EXPECT_EQ(without_stamp(texts[1]), "INFO outer noisy done\n");
    EXPECT_EQ(without_stamp(texts[2]), "INFO next 26\n");
}

std::string own_stamp() { return "STAMP"; }

// Bytes handed to the handle, the logger or the target are one record
// each; a handle's own stamp function stamps VORN_LOGF's records too.
TEST(VornFormat, BytesThroughHandleLoggerAndTarget) {
    Recorded recorded;
    recorded.handle.stamp_function = &own_stamp;
    VORN_LOGF(recorded.handle, INFO, "{}", "own");
    recorded.handle.log(std::string_view("handle\n"), Vorn::WARN);
    recorded.logger.log("logger\n", Vorn::ERROR, Origin{});
    recorded.target.log(std::string_view("target\n"), Vorn::FATAL, Origin{});
    EXPECT_EQ(recorded.texts(),
              (std::vector<std::string>{"STAMP INFO own\n", "handle\n", "logger\n", "target\n"}));
    EXPECT_STREQ(recorded.journal->origins[2].logger, "format");
    char small[4];
    EXPECT_EQ(recorded.handle.stamp(small, sizeof small), 0u);
}

}  // namespace
}  // namespace zvk::test
