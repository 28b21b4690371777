// Written records go back to the threads that log and carry their next
// records; nothing of an earlier record may show through, and records the
// library did not make itself are still destroyed.
#include <gtest/gtest.h>

#include <atomic>
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

std::ostringstream text_of(const std::string& text) {
    std::ostringstream stream;
    stream << text;
    return stream;
}

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

TEST(TargetRecycle, WrittenRecordCarriesOnlyTheNextTextAndLevel) {
    // A fresh process: this thread starts with no records kept.
    isolated([] {
        Keeping keeping;
        auto& [journal, target, logger, handle] = keeping;
        std::ostringstream first;
        first << std::hex << 255 << " a much longer first record than the next one\n";
        first.setstate(std::ios::failbit);
        const char* first_buffer = first.view().data();
        handle.log(std::move(first), Vorn::ERROR);
        // The worker writes it and hands it back as it ends.
        target.stop();
        ASSERT_EQ(journal->texts(),
                  std::vector<std::string>{"ff a much longer first record than the next one\n"});
        const Message* written = journal->addresses.at(0);

        // Queueing the second brings the written record back to this thread;
        // the third is built in it.
        handle.log(text_of("second\n"), Vorn::INFO);
        std::ostringstream third;
        third << "third\n";
        third.setstate(std::ios::badbit);
        handle.log(std::move(third), Vorn::WARN);

        ASSERT_EQ(target.queue.size(), 2u);
        EXPECT_NE(target.queue.front(), written);
        EXPECT_EQ(target.queue.front()->text.str(), "second\n");
        ASSERT_EQ(target.queue.back(), written);
        EXPECT_EQ(target.queue.back()->text.str(), "third\n");
        EXPECT_EQ(target.queue.back()->level, Vorn::WARN);
        // Its state is the caller's, as if the stream had been moved in.
        EXPECT_EQ(target.queue.back()->text.rdstate(), std::ios::badbit);
        target.queue.back()->text.clear();
        target.queue.back()->text << 10;
        EXPECT_EQ(target.queue.back()->text.str(), "third\n10")
            << "formatting of the earlier record";
        // The caller's stream is left empty and usable, with the buffer the
        // kept record had.
        EXPECT_EQ(third.view().data(), first_buffer);
        EXPECT_EQ(third.str(), "");
        third << "again";
        EXPECT_EQ(third.str(), "again");
    });
}

TEST(TargetRecycle, KeptRecordFromAnAppendingStreamWritesAtTheEnd) {
    // The kept record's buffer keeps the open mode of the stream first
    // moved into it; "ate" and "app" place the write position themselves.
    for (std::ios::openmode mode : {std::ios::ate, std::ios::app}) {
        isolated([mode] {
            Keeping keeping;
            auto& [journal, target, logger, handle] = keeping;
            std::ostringstream first("opened with ", mode);
            first << "a mode\n";
            handle.log(std::move(first), Vorn::INFO);
            target.stop();
            ASSERT_EQ(journal->texts(), std::vector<std::string>{"opened with a mode\n"});
            handle.log(text_of("brings it back\n"), Vorn::INFO);
            handle.log(text_of("reused\n"), Vorn::INFO);
            ASSERT_EQ(target.queue.back(), journal->addresses.at(0));
            EXPECT_EQ(target.queue.back()->text.str(), "reused\n");
            target.queue.back()->text << "more";
            EXPECT_EQ(target.queue.back()->text.str(), "reused\nmore");
        });
    }
}

TEST(TargetRecycle, StreamWithExceptionMaskKeepsItsWholeState) {
    isolated([] {
        Keeping keeping;
        auto& [journal, target, logger, handle] = keeping;
        handle.log(text_of("kept\n"), Vorn::INFO);
        target.stop();
        handle.log(text_of("brings it back\n"), Vorn::INFO);

        // A stream that already failed under its mask: copying its state
        // onto a kept record would throw out of log.
        std::ostringstream masked;
        masked.exceptions(std::ios::badbit);
        masked << "masked\n";
        try {
            masked.setstate(std::ios::badbit);
        } catch (const std::ios_base::failure&) {
        }
        handle.log(std::move(masked), Vorn::ERROR);
        ASSERT_EQ(target.queue.size(), 2u);
        EXPECT_NE(target.queue.back(), journal->addresses.at(0));
        EXPECT_EQ(target.queue.back()->text.str(), "masked\n");
        EXPECT_EQ(target.queue.back()->text.exceptions(), std::ios::badbit);
        EXPECT_EQ(target.queue.back()->text.rdstate(), std::ios::badbit);
    });
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
            handle->log(text_of("bye\n"), Vorn::INFO);
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
            handle.log(text_of("r" + std::to_string(i) + "\n"), Vorn::INFO);
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

std::atomic<int> imbue_calls{0};

TEST(TargetRecycle, CallersWordsAndCallbacksStayOutOfOtherRecords) {
    isolated([] {
        Keeping keeping;
        auto& [journal, target, logger, handle] = keeping;
        const int index = std::ios_base::xalloc();
        std::ostringstream first;
        first.iword(index) = 7;
        first.pword(index) = &first;
        first.register_callback(
            [](std::ios_base::event event, std::ios_base&, int) {
                if (event == std::ios_base::imbue_event) {
                    ++imbue_calls;
                }
            },
            0);
        first << "first\n";
        handle.log(std::move(first), Vorn::INFO);
        target.stop();
        ASSERT_EQ(journal->size(), 1u);

        // The second brings written records back; the third, in a locale
        // of its own, is built in one of them.
        handle.log(text_of("second\n"), Vorn::INFO);
        std::ostringstream third;
        third.imbue(std::locale(std::locale::classic(), new std::numpunct<char>));
        third << "third\n";
        handle.log(std::move(third), Vorn::INFO);
        ASSERT_EQ(target.queue.size(), 2u);
        for (Message* queued : target.queue) {
            EXPECT_EQ(queued->text.iword(index), 0);
            EXPECT_EQ(queued->text.pword(index), nullptr);
        }
        EXPECT_EQ(imbue_calls, 0);
    });
}

}  // namespace
}  // namespace zvk::test
