// The journal target against a real systemd-journald of the test's own
// (a private /run, volatile storage, rate limiting off), read back with
// journalctl: every record arrives once, in each thread's order, with its
// fields; multi-line and oversized records arrive whole; a query by logger
// finds exactly its records; a restart loses only what is counted; without
// journald the target falls back to the syslog socket.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ConfigText.h"
#include "Journald.h"
#include "TestSupport.h"
#include "targets/TargetAccess.h"
#include "zvk/JournalLog.h"
#include "zvk/Vorn.h"
#include "zvk/VornConfig.h"
#include "zvk/VornInit.h"

namespace zvk::test {
namespace {

enum Field { kPriority, kTid, kLogger, kFile, kLine, kFunc, kIdent, kFacility, kMessage, kTime };

std::vector<std::string> fields_of(const std::string& entry) { return split_fields(entry, '\t'); }

std::int64_t wall_clock_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// "jr" sends to journald's default socket; "db" and "app" log to it.
void write_journal_config() {
    write_config("vorn_config.xml",
                 "<target name=\"jr\"><type>journal</type><facility>local3</facility>"
                 "<ident>vorntest</ident></target>" +
                     logger_record("db", "jr") + logger_record("app", "jr"));
}

// Set by every producer, read after they are joined.
std::atomic<int> log_line{0};

void log_numbered(const Vorn& handle, int thread, int sequence) {
    log_line = __LINE__ + 1;
    VORN_LOG(handle, WARN, "T" << thread << " S" << sequence);
}

class JournalTarget : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string why = cannot_run_journald();
        if (!why.empty()) {
            // The suite's own runs must not pass by skipping this.
            if (std::getenv("ZVK_REQUIRE_JOURNALD") != nullptr) {
                FAIL() << why;
            }
            GTEST_SKIP() << why;
        }
    }
};

TEST_F(JournalTarget, FourThreadsArriveOnceInOrderWithTheirFields) {
    isolated([] {
        alarm(300);
        Journald journald;
        write_journal_config();
        constexpr int Threads = 4;
        constexpr int PerThread = 10000;
        std::vector<int> tids(Threads);
        const std::int64_t started = wall_clock_us();
        std::vector<std::thread> producers;
        for (int t = 0; t < Threads; ++t) {
            producers.emplace_back([t, &tids] {
                tids[t] = static_cast<int>(syscall(SYS_gettid));
                Vorn handle(t % 2 == 0 ? "db" : "app", 0);
                for (int s = 0; s < PerThread; ++s) {
                    log_numbered(handle, t, s);
                }
            });
        }
        for (std::thread& producer : producers) {
            producer.join();
        }
        const std::int64_t handed = wall_clock_us();
        StdoutPipe out;
        VornInit::reset_vorn_state();
        EXPECT_EQ(out.text(), "");
        const std::vector<std::string> entries = journald.entries(Threads * PerThread);
        ASSERT_EQ(entries.size(), std::size_t{Threads * PerThread});
        std::vector<int> next(Threads, 0);
        for (const std::string& entry : entries) {
            const std::vector<std::string> fields = fields_of(entry);
            ASSERT_EQ(fields.size(), 10u) << entry;
            int t = -1;
            int s = -1;
            const std::size_t at = fields[kMessage].rfind(" T");
            ASSERT_NE(at, std::string::npos) << entry;
            ASSERT_EQ(std::sscanf(fields[kMessage].c_str() + at, " T%d S%d", &t, &s), 2) << entry;
            ASSERT_TRUE(t >= 0 && t < Threads) << entry;
            EXPECT_EQ(s, next[t]) << entry;
            next[t] = s + 1;
            EXPECT_NE(fields[kMessage].find(" WARN T"), std::string::npos) << entry;
            EXPECT_EQ(fields[kPriority], "4");
            EXPECT_EQ(fields[kTid], std::to_string(tids[t]));
            EXPECT_EQ(fields[kLogger], t % 2 == 0 ? "db" : "app");
            EXPECT_EQ(fields[kFile], __FILE__);
            EXPECT_EQ(fields[kLine], std::to_string(log_line.load()));
            EXPECT_EQ(fields[kFunc], "log_numbered");
            EXPECT_EQ(fields[kIdent], "vorntest");
            EXPECT_EQ(fields[kFacility], "19");
            // The hand-over's time, which the send (after the stop) is not.
            const std::int64_t time = std::strtoll(fields[kTime].c_str(), nullptr, 10);
            EXPECT_TRUE(time >= started && time <= handed) << entry;
        }
        const std::vector<std::string> db = journald.entries(PerThread * 2, "VORN_LOGGER=db");
        EXPECT_EQ(db.size(), std::size_t{PerThread * 2});
        for (const std::string& entry : db) {
            ASSERT_EQ(fields_of(entry)[kLogger], "db") << entry;
        }
    });
}

TEST_F(JournalTarget, MultiLineAndOversizedRecordsArriveWholeWithTheLevelsPriority) {
    isolated([] {
        alarm(300);
        Journald journald;
        write_journal_config();
        std::string huge = "H";
        while (huge.size() < (1u << 20)) {
            huge += "0123456789abcdef-" + std::to_string(huge.size());
        }
        StdoutPipe out;
        {
            Vorn handle("app", 0);
            log_text(handle, "first line\nsecond\tline\n");
            log_text(handle, huge + "\n");
            for (int level = Vorn::OUT; level <= Vorn::DEBUG; ++level) {
                handle.log(stream_of("level " + std::to_string(level) + "\n"),
                           static_cast<Vorn::Level>(level));
            }
        }
        VornInit::reset_vorn_state();
        EXPECT_EQ(out.text(), "");
        const std::vector<std::string> entries = journald.entries(10);
        ASSERT_EQ(entries.size(), 10u);
        EXPECT_EQ(fields_of(entries[0])[kMessage], "first line\\nsecond\\tline");
        EXPECT_TRUE(fields_of(entries[1])[kMessage] == huge)
            << fields_of(entries[1])[kMessage].size() << " bytes instead of " << huge.size();
        const char* priority[] = {"5", "2", "3", "4", "5", "6", "7", "7"};  // OUT ... DEBUG
        for (int level = Vorn::OUT; level <= Vorn::DEBUG; ++level) {
            const std::vector<std::string> fields = fields_of(entries[2 + level]);
            EXPECT_EQ(fields[kMessage], "level " + std::to_string(level));
            EXPECT_EQ(fields[kPriority], priority[level]) << level;
            EXPECT_EQ(fields[kLogger], "app");
            EXPECT_EQ(fields[kFile] + fields[kLine] + fields[kFunc], "---") << "no source line";
        }
    });
}

// Records far beyond file_size_max: the memory file that carries each is
// bound by the process's file-size limit. With the hard limit above (the
// library lowers only the soft one) they arrive whole; with the hard limit
// at the size too, cut to fit, marked, and counted.
TEST_F(JournalTarget, RecordsBeyondTheFileSizeLimitArriveWholeOrCutAndCounted) {
    for (const bool hard_too : {false, true}) {
        SCOPED_TRACE(hard_too ? "hard limit at the size" : "soft limit only");
        isolated([hard_too] {
            alarm(300);
            Journald journald;
            write_config("vorn_config.xml",
                         "<file_size_max>64K</file_size_max>"
                         "<target name=\"jr\"><type>journal</type></target>" +
                             logger_record("app", "jr"));
            if (hard_too) {
                rlimit limit{64 * 1024, 64 * 1024};
                ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
            }
            constexpr int Records = 3;
            std::string huge = "H";
            while (huge.size() < 256 * 1024) {
                huge += "0123456789\xc3\xa9-" + std::to_string(huge.size());
            }
            StdoutPipe out;
            {
                Vorn handle("app", 0);
                for (int n = 0; n < Records; ++n) {
                    log_text(handle, std::to_string(n) + huge + "\n");
                }
            }
            VornInit::reset_vorn_state();
            const std::string text = out.text();
            const std::vector<std::string> entries = journald.entries(Records);
            ASSERT_EQ(entries.size(), std::size_t{Records}) << text;
            const std::string mark = " [cut at the file size limit]";
            for (int n = 0; n < Records; ++n) {
                const std::string message = fields_of(entries[n])[kMessage];
                const std::string whole = std::to_string(n) + huge;
                if (!hard_too) {
                    EXPECT_TRUE(message == whole) << message.size() << " bytes of " << whole.size();
                    continue;
                }
                ASSERT_TRUE(message.ends_with(mark)) << message.substr(0, 40);
                const std::size_t kept = message.size() - mark.size();
                EXPECT_GT(kept, 60000u);
                EXPECT_LT(kept, 64u * 1024);
                EXPECT_TRUE(message.compare(0, kept, whole, 0, kept) == 0) << n;
            }
            if (hard_too) {
                EXPECT_EQ(split_lines(text).at(0),
                          "Could not write msg in target: jr - record cut at the file size limit");
                EXPECT_EQ(counted_losses(text, "jr"), Records) << text;
            } else {
                EXPECT_EQ(text, "");
            }
        });
    }
}

TEST_F(JournalTarget, RestartOfJournaldLosesOnlyWhatIsCounted) {
    isolated([] {
        alarm(300);
        Journald journald;
        write_journal_config();
        Vorn handle("app", 0);
        auto log_range = [&handle](int first, int end) {
            for (int n = first; n < end; ++n) {
                log_text(handle, "R" + std::to_string(n) + "\n");
            }
            ASSERT_EQ(handle.flush(), 0);
        };
        StdoutPipe out;
        log_range(0, 1000);
        // What journald has not read when it stops is gone without a word
        // to the sender (a datagram socket): the stop waits until it has.
        ASSERT_EQ(journald.entries(1000).size(), 1000u);
        journald.stop();
        log_range(1000, 2000);
        journald.start();
        log_range(2000, 3000);
        VornInit::reset_vorn_state();
        const long lost = counted_losses(out.text(), "jr");
        const std::vector<std::string> entries = journald.entries(3000 - lost);
        EXPECT_GT(lost, 0) << out.text();
        EXPECT_EQ(static_cast<long>(entries.size()), 3000 - lost) << out.text();
        // What arrived is every record but those counted, once each, in order.
        int previous = -1;
        for (const std::string& entry : entries) {
            const int n = std::stoi(fields_of(entry)[kMessage].substr(1));
            EXPECT_GT(n, previous) << entry;
            previous = n;
        }
        EXPECT_EQ(previous, 2999);
    });
}

TEST_F(JournalTarget, WithoutJournaldsSocketItSaysSoAndUsesTheSyslogOne) {
    isolated([] {
        Journald::private_run();  // an empty /run: no journald here
        for (const bool configured : {false, true}) {
            VornConfig config;
            auto* record = new VornConfig::target_cf_t{"jr", "journal", {}};
            if (configured) {
                record->params.emplace_back("socket", cwd() + "/not-yet.sock");
            }
            config.targets["jr"] = record;
            JournalLog target("jr");
            StdoutPipe out;
            ASSERT_EQ(target.init(&config), 0);
            // A configured socket is waited for, as the syslog target does.
            EXPECT_EQ(out.text(), configured ? ""
                                             : "No journald socket at "
                                               "/run/systemd/journal/socket, target: jr sends "
                                               "to /dev/log in the syslog format\n");
            EXPECT_EQ(detail::TargetAccess::syslog_fallback(target), !configured);
            EXPECT_EQ(detail::TargetAccess::socket_path(target),
                      configured ? cwd() + "/not-yet.sock" : "/dev/log");
        }
    });
}

}  // namespace
}  // namespace zvk::test
