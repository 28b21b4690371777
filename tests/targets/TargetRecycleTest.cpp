// A record reaches write_msg with its text and level and nothing else of
// the caller's stream; the worker's Messages are kept and filled again, and
// records of other types still arrive whole and are destroyed.
#include <gtest/gtest.h>

#include <atomic>
#include <iomanip>
#include <locale>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "RecordingTarget.h"
#include "TestSupport.h"
#include "zvk/Logger.h"
#include "zvk/Message.h"
#include "zvk/Target.h"
#include "zvk/Vorn.h"

namespace zvk::test {
namespace {

Vorn handle_on(Logger& logger) {
    Vorn handle;
    handle.logger = &logger;
    handle.level = Vorn::DEBUG;
    return handle;
}

// A started target that keeps what it writes, reached through a handle.
struct Keeping {
    Keeping() {
        target.keep_written = true;
        EXPECT_EQ(target.start(nullptr), 0);
    }

    std::shared_ptr<Journal> journal = std::make_shared<Journal>();
    RecordingTarget target{journal};
    Logger logger{"recycle", &target, Logger::DEBUG};
    Vorn handle = handle_on(logger);
};

// What write_msg sees of each record, besides the journal's text.
struct Seen {
    std::ios::fmtflags flags;
    std::ios::iostate state;
    std::ios::iostate exceptions;
    long word;
    std::streamsize width;
};

class InspectingTarget : public RecordingTarget {
public:
    InspectingTarget(std::shared_ptr<Journal> journal, int index)
        : RecordingTarget(std::move(journal)), index(index) {
        keep_written = true;
    }
    ~InspectingTarget() override { shutdown(); }
    void write_msg(Message* message) override {
        seen.push_back({message->text.flags(), message->text.rdstate(), message->text.exceptions(),
                        message->text.iword(index), message->text.width()});
        RecordingTarget::write_msg(message);
    }
    int index;
    std::vector<Seen> seen;  // only the worker touches it until stop
};

std::atomic<int> callbacks{0};

TEST(TargetRecycle, WriteMsgGetsTheTextAndLevelOnly) {
    const int index = std::ios_base::xalloc();
    auto journal = std::make_shared<Journal>();
    InspectingTarget target(journal, index);
    ASSERT_EQ(target.start(nullptr), 0);
    Logger logger("recycle", &target, Logger::DEBUG);
    Vorn handle = handle_on(logger);
    for (int round = 0; round < 3; ++round) {
        // Everything a caller may set up on its stream; none of it may
        // reach the record, the first one built or the ones reused.
        std::ostringstream text;
        text.iword(index) = 7;
        text.register_callback([](std::ios_base::event, std::ios_base&, int) { ++callbacks; }, 0);
        text.imbue(std::locale(std::locale::classic(), new std::numpunct<char>));
        text << std::hex << std::setw(8) << 255 << " round " << round << '\n';
        text.exceptions(std::ios::badbit);
        text.setstate(std::ios::failbit);
        int before = callbacks;
        handle.log(std::move(text), Vorn::WARN);
        EXPECT_EQ(callbacks, before);
        // The caller's stream is empty and usable.
        EXPECT_EQ(text.str(), "");
        text << "again";
        EXPECT_EQ(text.str(), "again");
        ASSERT_EQ(target.flush(), 0);
    }
    target.stop();
    ASSERT_EQ(journal->texts(),
              (std::vector<std::string>{"      ff round 0\n", "      ff round 1\n",
                                        "      ff round 2\n"}));
    EXPECT_EQ(journal->addresses[1], journal->addresses[2]) << "the Message is kept";
    for (const Seen& seen : target.seen) {
        EXPECT_EQ(seen.flags, std::ios::dec | std::ios::skipws);
        EXPECT_EQ(seen.state, std::ios::goodbit);
        EXPECT_EQ(seen.exceptions, std::ios::goodbit);
        EXPECT_EQ(seen.word, 0);
        EXPECT_EQ(seen.width, 0);
    }
    EXPECT_EQ(journal->levels, std::vector<int>(3, Vorn::WARN));
}

TEST(TargetRecycle, AppendingStreamsHandOverTheirText) {
    for (std::ios::openmode mode : {std::ios::ate, std::ios::app}) {
        Target target("console", Target::CONSOLE_TARGET);
        std::ostringstream text("opened with ", mode);
        text << "a mode\n";
        target.log(std::move(text), Vorn::INFO);
        ASSERT_EQ(target.queue.size(), 1u);
        EXPECT_EQ(target.queue.front().text, "opened with a mode\n");
        text << "again";
        EXPECT_EQ(text.str(), "again");
    }
}

TEST(TargetRecycle, AWaitingRecordHoldsLittleBeyondItsText) {
    Target target("console", Target::CONSOLE_TARGET);
    // Composed piece by piece, as applications do: the stream's buffer grows
    // to far more than the text.
    std::ostringstream text;
    for (int i = 0; i < 100; ++i) {
        text << 'x';
    }
    text << '\n';
    const char* buffer = text.view().data();
    target.log(std::move(text), Vorn::INFO);
    ASSERT_EQ(target.queue.size(), 1u);
    EXPECT_EQ(target.queue.front().text, std::string(100, 'x') + '\n');
    EXPECT_LE(target.queue.front().text.capacity(), 101u + 128u);
    // The roomy buffer stays with the caller for its next text.
    text << "next";
    EXPECT_EQ(text.view().data(), buffer);
}

struct CountedMessage : Message {
    ~CountedMessage() override { ++destroyed; }
    static inline std::atomic<int> destroyed = 0;
};

TEST(TargetRecycle, RecordsOfOtherTypesAreDestroyed) {
    CaptureFd err(2);
    CountedMessage::destroyed = 0;
    {
        Target target("console", Target::CONSOLE_TARGET);
        ASSERT_EQ(target.start(nullptr), 0);
        for (int i = 0; i < 3; ++i) {
            auto* message = new CountedMessage;
            message->text << "derived " << i << "\n";
            target.log(message);
        }
        target.stop();
        EXPECT_EQ(CountedMessage::destroyed, 3);
    }
    EXPECT_EQ(err.text(), "derived 0\nderived 1\nderived 2\n");
}

TEST(TargetRecycle, RecordsPassingBetweenThreadsKeepTextLevelAndOrder) {
    constexpr int Producers = 4;
    constexpr int PerProducer = 5000;
    auto journal = std::make_shared<Journal>();
    {
        RecordingTarget target(journal);
        target.keep_written = true;
        Logger logger("recycle", &target, Logger::DEBUG);
        ASSERT_EQ(target.start(nullptr), 0);
        std::vector<std::thread> producers;
        for (int t = 0; t < Producers; ++t) {
            producers.emplace_back([&logger, t] {
                Vorn handle = handle_on(logger);
                for (int seq = 0; seq < PerProducer; ++seq) {
                    std::ostringstream text;
                    // Lengths vary, so a kept buffer is sometimes longer
                    // than the record that reuses it.
                    text << t << ':' << seq << std::string(static_cast<std::size_t>(seq % 97), '.');
                    handle.log(std::move(text), static_cast<Vorn::Level>(seq % 8));
                }
            });
        }
        for (std::thread& producer : producers) {
            producer.join();
        }
    }
    const std::vector<std::string> texts = journal->texts();
    ASSERT_EQ(texts.size(), static_cast<std::size_t>(Producers * PerProducer));
    std::map<int, int> next;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        std::istringstream in(texts[i]);
        int t = -1;
        int seq = -1;
        char colon = 0;
        in >> t >> colon >> seq;
        ASSERT_EQ(next[t], seq) << texts[i];
        ++next[t];
        EXPECT_EQ(texts[i], std::to_string(t) + ":" + std::to_string(seq) +
                                std::string(static_cast<std::size_t>(seq % 97), '.'));
        EXPECT_EQ(journal->levels[i], seq % 8) << texts[i];
    }
}

// Logs from its destructor, which runs among the thread's exit handlers.
struct LogsAtThreadExit {
    ~LogsAtThreadExit() {
        if (handle != nullptr) {
            handle->log(stream_of("bye\n"), Vorn::INFO);
        }
    }
    const Vorn* handle = nullptr;
};

TEST(TargetRecycle, RecordsLoggedAfterTheThreadsCacheIsGoneAreWritten) {
    Keeping keeping;
    auto& [journal, target, logger, handle] = keeping;
    std::thread([&handle = handle, &journal = journal] {
        // Constructed before the thread's first record, so destroyed after
        // the thread's cache of kept records.
        thread_local LogsAtThreadExit at_exit;
        at_exit.handle = &handle;
        for (int i = 0; i < 20; ++i) {
            handle.log(stream_of("r" + std::to_string(i) + "\n"), Vorn::INFO);
        }
        // Written records are back in the target's spare list: a late
        // refill would put them into a cache nobody deletes any more.
        while (journal->size() < 20) {
            std::this_thread::yield();
        }
    }).join();
    target.stop();
    const std::vector<std::string> texts = journal->texts();
    ASSERT_EQ(texts.size(), 21u);
    EXPECT_EQ(texts.back(), "bye\n");
}

}  // namespace
}  // namespace zvk::test
