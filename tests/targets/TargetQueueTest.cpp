#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "RecordingTarget.h"
#include "TestSupport.h"
#include "zvk/Message.h"
#include "zvk/Target.h"

namespace zvk::test {
namespace {

std::vector<std::string> numbered(const std::string& prefix, int count) {
    std::vector<std::string> texts;
    for (int i = 0; i < count; ++i) {
        texts.push_back(prefix + std::to_string(i));
    }
    return texts;
}

TEST(TargetOrder, RecordsFromOneThreadAreWrittenInOrder) {
    auto journal = std::make_shared<Journal>();
    const std::vector<std::string> expected = numbered("r", 2000);
    {
        RecordingTarget target(journal);
        ASSERT_EQ(target.start(nullptr), 0);
        for (const std::string& text : expected) {
            target.log(record(text));
        }
    }
    EXPECT_EQ(journal->texts(), expected);
}

TEST(TargetOrder, EachProducerThreadKeepsItsOrderAndLosesNothing) {
    constexpr int Producers = 4;
    constexpr int PerProducer = 5000;
    auto journal = std::make_shared<Journal>();
    {
        RecordingTarget target(journal);
        ASSERT_EQ(target.start(nullptr), 0);
        std::vector<std::thread> producers;
        for (int t = 0; t < Producers; ++t) {
            producers.emplace_back([&target, t] {
                for (int seq = 0; seq < PerProducer; ++seq) {
                    target.log(record(std::to_string(t) + ":" + std::to_string(seq)));
                }
            });
        }
        for (std::thread& producer : producers) {
            producer.join();
        }
    }
    std::map<int, std::vector<int>> per_thread;
    for (const std::string& text : journal->texts()) {
        std::size_t colon = text.find(':');
        ASSERT_NE(colon, std::string::npos) << text;
        per_thread[std::stoi(text.substr(0, colon))].push_back(std::stoi(text.substr(colon + 1)));
    }
    ASSERT_EQ(per_thread.size(), static_cast<std::size_t>(Producers));
    for (const auto& [thread, sequence] : per_thread) {
        ASSERT_EQ(sequence.size(), static_cast<std::size_t>(PerProducer)) << "thread " << thread;
        for (int i = 0; i < PerProducer; ++i) {
            ASSERT_EQ(sequence[i], i) << "thread " << thread;
        }
    }
}

TEST(TargetDrain, RecordsQueuedBeforeStartAreWrittenAtDestruction) {
    auto journal = std::make_shared<Journal>();
    const std::vector<std::string> expected = numbered("early", 500);
    {
        RecordingTarget target(journal);
        for (const std::string& text : expected) {
            target.log(record(text));
        }
        ASSERT_EQ(target.start(nullptr), 0);
    }
    EXPECT_EQ(journal->texts(), expected);
}

TEST(TargetDrain, RecordsLoggedRightBeforeDestructionAllArrive) {
    auto journal = std::make_shared<Journal>();
    const std::vector<std::string> expected = numbered("last", 3000);
    {
        RecordingTarget target(journal);
        ASSERT_EQ(target.start(nullptr), 0);
        for (const std::string& text : expected) {
            target.log(record(text));
        }
    }
    EXPECT_EQ(journal->texts(), expected);
}

TEST(TargetDrain, StopWritesQueuedRecordsBeforeReturning) {
    auto journal = std::make_shared<Journal>();
    RecordingTarget target(journal);
    const std::vector<std::string> expected = numbered("s", 1000);
    for (const std::string& text : expected) {
        target.log(record(text));
    }
    ASSERT_EQ(target.start(nullptr), 0);
    EXPECT_EQ(target.stop(), 1);
    EXPECT_EQ(journal->texts(), expected);
    EXPECT_TRUE(target.queue.empty());
}

TEST(TargetDrain, NeverStartedTargetAcceptsAndDestroysRecords) {
    auto journal = std::make_shared<Journal>();
    {
        RecordingTarget target(journal);
        target.log(record("a"));
        target.log(record("b"));
        target.log(record("c"));
        EXPECT_EQ(target.queue.size(), 3u);
        EXPECT_EQ(target.state, Target::STOPPED);
    }
    // Nothing wrote them; the leak checker sees that they were deleted.
    EXPECT_EQ(journal->size(), 0u);
}

#ifndef ZVK_TEST_SANITIZED
// Out of memory while the text is copied into the queue: the record is
// lost and the line says why. Not under the sanitizers, whose shadow
// memory an address-space limit breaks.
TEST(TargetQueue, MemoryExhaustionIsReportedAsSuch) {
    isolated([] {
        Target target("console", Target::CONSOLE_TARGET);
        ASSERT_EQ(target.start(nullptr), 0);
        std::string text(64 << 20, 'm');
        text.reserve(128 << 20);  // room enough that the queue copies the text
        std::ostringstream stream(std::move(text));
        long size_kb = 0;
        std::istringstream status(read_file("/proc/self/status"));
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("VmSize:", 0) == 0) {
                size_kb = std::stol(line.substr(7));
            }
        }
        rlimit before{};
        getrlimit(RLIMIT_AS, &before);
        rlimit tight = before;
        tight.rlim_cur = static_cast<rlim_t>(size_kb + 16 * 1024) * 1024;
        StdoutPipe out;
        ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
        target.log(std::move(stream), 5);
        setrlimit(RLIMIT_AS, &before);
        EXPECT_NE(out.text().find(" out of memory, record lost in target: console\n"),
                  std::string::npos);
    });
}
#endif

TEST(TargetConsole, WritesTextByteForByteToStandardError) {
    CaptureFd out(1);
    CaptureFd err(2);
    {
        Target console("console", Target::CONSOLE_TARGET);
        ASSERT_EQ(console.start(nullptr), 0);
        console.log(record("first"));
        console.log(record("second\n"));
        console.log(record(std::string("with\0nul\n", 9)));
        console.log(record("third\n"));
    }
    EXPECT_EQ(err.text(), std::string("firstsecond\nwith\0nul\nthird\n", 27));
    EXPECT_EQ(out.text(), "");
}

// Fails every write the way a broken device would, with exceptions enabled
// on the stream the failure reaches the writer.
class BrokenBuffer : public std::streambuf {
public:
    explicit BrokenBuffer(bool standard) : standard(standard) {}

protected:
    std::streamsize xsputn(const char*, std::streamsize) override { fail(); }
    int overflow(int) override { fail(); }

private:
    [[noreturn]] void fail() const {
        if (standard) {
            throw std::runtime_error("device gone");
        }
        throw 7;
    }

    bool standard;
};

class ClogRedirect {
public:
    explicit ClogRedirect(std::streambuf* buffer)
        : saved_buffer(std::clog.rdbuf(buffer)), saved_exceptions(std::clog.exceptions()) {
        std::clog.exceptions(std::ios::badbit);
    }
    ~ClogRedirect() {
        std::clog.exceptions(std::ios::goodbit);
        std::clog.clear();
        std::clog.rdbuf(saved_buffer);
        std::clog.exceptions(saved_exceptions);
    }

private:
    std::streambuf* saved_buffer;
    std::ios::iostate saved_exceptions;
};

// Refuses the first write as a full or closed device would, then accepts.
class FlakyBuffer : public std::streambuf {
public:
    std::string written;

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        if (refused++ == 0) {
            return 0;
        }
        written.append(s, static_cast<std::size_t>(n));
        return n;
    }

private:
    int refused = 0;
};

TEST(TargetConsole, FailedWriteIsReportedAndTheNextRecordIsWritten) {
    FlakyBuffer flaky;
    std::streambuf* saved = std::clog.rdbuf(&flaky);
    CaptureFd out(1);
    {
        Target console("console", Target::CONSOLE_TARGET);
        console.write_msg(record("refused\n"));
        console.write_msg(record("written\n"));
    }
    bool left_good = std::clog.good();
    std::clog.rdbuf(saved);
    EXPECT_EQ(out.text(), "Could not write msg in target: console\n");
    EXPECT_EQ(flaky.written, "written\n");
    EXPECT_TRUE(left_good);
}

TEST(TargetConsole, StandardExceptionFromWriteIsReportedNotThrown) {
    BrokenBuffer broken(true);
    CaptureFd out(1);
    {
        ClogRedirect redirect(&broken);
        Target console("console", Target::CONSOLE_TARGET);
        EXPECT_NO_THROW(console.write_msg(record("lost\n")));
    }
    EXPECT_EQ(out.text(), "Exception write msg in target: console - device gone\n");
}

TEST(TargetConsole, OtherExceptionFromWriteIsReportedNotThrown) {
    BrokenBuffer broken(false);
    CaptureFd out(1);
    {
        ClogRedirect redirect(&broken);
        Target console("console", Target::CONSOLE_TARGET);
        EXPECT_NO_THROW(console.write_msg(record("lost\n")));
    }
    EXPECT_EQ(out.text(), "Unknown exception write msg in target: console\n");
}

// Bytes the allocator has handed out and not taken back, in all arenas.
std::size_t heap_in_use() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// Its writer discards what it writes, and waits while the gate is shut.
class GatedDiscarding : public Target {
public:
    GatedDiscarding() : Target("burst", CONSOLE_TARGET) {}
    ~GatedDiscarding() override {
        set_gate(true);
        shutdown();
    }
    void write_msg(Message* message) override {
        {
            std::unique_lock lock(gate_mutex);
            gate.wait(lock, [this] { return opened; });
        }
        retire(message);
    }
    void set_gate(bool open) {
        {
            std::lock_guard lock(gate_mutex);
            opened = open;
        }
        gate.notify_all();
    }

private:
    std::mutex gate_mutex;
    std::condition_variable gate;
    bool opened = true;
};

// Sixteen threads that stay alive after a burst the writer could not keep
// up with: each lane keeps the segment it writes into (64 KiB after such
// a burst), not also a spare one.
TEST(TargetLanes, ThreadsThatStayAfterABurstKeepOneSegmentEach) {
    isolated([] {
        constexpr int kThreads = 16;
        constexpr int kRecords = 2000;  // of 200 bytes: the segments grow to their largest
        const std::string text(199, 'r');
        GatedDiscarding target;
        ASSERT_EQ(target.start(nullptr), 0);
        auto burst = [&] {
            for (int i = 0; i < kRecords; ++i) {
                target.log(stream_of(text + "\n"), 5);
            }
        };
        // The writer's own buffers reach their size before the baseline.
        burst();
        ASSERT_EQ(target.flush(), 0);
        const std::size_t baseline = heap_in_use();
        target.set_gate(false);
        std::mutex mutex;
        std::condition_variable cond;
        int done = 0;
        bool leave = false;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                burst();
                std::unique_lock lock(mutex);
                ++done;
                cond.notify_all();
                cond.wait(lock, [&] { return leave; });
            });
        }
        {
            std::unique_lock lock(mutex);
            cond.wait(lock, [&] { return done == kThreads; });
        }
        target.set_gate(true);
        ASSERT_EQ(target.flush(), 0);
        // Once the writer is idle; a busy machine may take its time.
        constexpr std::size_t kPerThread = 96 * 1024;
        auto kept = [&] { return heap_in_use() - std::min(heap_in_use(), baseline); };
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (kept() > kThreads * kPerThread && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_LE(kept() / kThreads, kPerThread);
        {
            std::lock_guard lock(mutex);
            leave = true;
        }
        cond.notify_all();
        for (auto& thread : threads) {
            thread.join();
        }
    });
}

}  // namespace
}  // namespace zvk::test
