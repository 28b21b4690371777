// The syslog target against a real rsyslogd listening on a socket in the
// test's own directory (imuxsock, rate limiting off), which writes each
// message's PRI, tag and text: every record arrives once, in order, with
// its severity, facility and tag; a restart of rsyslog loses only what the
// library counts; a missing socket is reported, not fatal.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "ConfigText.h"
#include "Rsyslogd.h"
#include "TestSupport.h"
#include "targets/TargetAccess.h"
#include "zvk/Logger.h"
#include "zvk/Message.h"
#include "zvk/SyslogLog.h"
#include "zvk/Vorn.h"
#include "zvk/VornInit.h"
#include "zvk/VornService.h"

namespace zvk::test {
namespace {

const char* const kReceiverConf = R"(global(workDirectory="DIR/rsyslog-work")
module(load="imuxsock" SysSock.Use="off")
input(type="imuxsock" Socket="DIR/log.sock" RateLimit.Interval="0")
template(name="fields" type="string" string="%pri% %syslogtag%%msg%\n")
action(type="omfile" file="DIR/received.log" template="fields")
)";

std::string syslog_config(const std::string& socket) {
    return "<target name=\"sys\"><type>syslog</type><socket>" + socket +
           "</socket><facility>local3</facility><ident>vorntest</ident></target>" +
           logger_record("app", "sys");
}

// A datagram socket at `path` that only the test reads, or -1.
int bound_receiver(const std::string& path) {
    int receiver = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(receiver);
        return -1;
    }
    return receiver;
}

class SyslogTarget : public ::testing::Test {
protected:
    void SetUp() override {
        binary = rsyslogd_path();
        if (binary.empty()) {
            GTEST_SKIP() << "rsyslogd is not installed (scripts/deps.sh installs rsyslog)";
        }
    }
    // A receiver on "log.sock" in the test's directory, and the service's
    // configuration sending to it, after the top-level elements `before`.
    // Inside `isolated`; a hang fails the test instead of stalling the suite.
    void start_receiver(std::unique_ptr<Rsyslogd>& receiver, const std::string& before = "") {
        alarm(300);
        receiver = std::make_unique<Rsyslogd>(binary, cwd(), kReceiverConf);
        ASSERT_TRUE(wait_for_path(socket())) << read_file("rsyslogd.out");
        write_config("vorn_config.xml", before + syslog_config(socket()));
    }
    static std::string socket() { return cwd() + "/log.sock"; }

    std::string binary;
};

TEST(SyslogTargetNames, FacilitiesAndSeverities) {
    for (const auto& [name, code] : {std::pair<const char*, int>{"user", 1},
                                     {"daemon", 3},
                                     {"local0", 16},
                                     {"local7", 23},
                                     {"local8", -1},
                                     {"kern", -1},
                                     {"User", -1},
                                     {"", -1}}) {
        EXPECT_EQ(SyslogLog::facility_from(name), code) << name;
    }
    const int expected[] = {5, 2, 3, 4, 5, 6, 7, 7};  // OUT ... DEBUG
    for (int level = Vorn::OUT; level <= Vorn::DEBUG; ++level) {
        EXPECT_EQ(detail::TargetAccess::severity_of(level), expected[level]) << level;
    }
}

TEST_F(SyslogTarget, FourThreadsArriveOnceInOrderWithLevelFacilityAndTag) {
    isolated([this] {
        std::unique_ptr<Rsyslogd> rsyslogd;
        ASSERT_NO_FATAL_FAILURE(start_receiver(rsyslogd));
        constexpr int Threads = 4;
        constexpr int PerThread = 10000;
        static constexpr Vorn::Level Levels[] = {Vorn::INFO, Vorn::WARN, Vorn::ERROR, Vorn::DEBUG};
        std::vector<std::thread> producers;
        for (int t = 0; t < Threads; ++t) {
            producers.emplace_back([t] {
                Vorn handle("app", 0);
                for (int s = 0; s < PerThread; ++s) {
                    std::ostringstream text;
                    text << "T" << t << " S" << s << '\n';
                    handle.log(std::move(text), Levels[s % 4]);
                }
            });
        }
        for (std::thread& producer : producers) {
            producer.join();
        }
        StdoutPipe out;
        VornInit::reset_vorn_state();
        EXPECT_EQ(out.text(), "");
        std::vector<std::string> lines =
            wait_for_lines("received.log", Threads * PerThread, std::chrono::seconds(10));
        ASSERT_EQ(lines.size(), std::size_t{Threads * PerThread});
        const std::string tag = "vorntest[" + std::to_string(getpid()) + "]:";
        const int severity[] = {6, 4, 3, 7};
        std::vector<int> next(Threads, 0);
        for (const std::string& line : lines) {
            int pri = 0;
            int t = 0;
            int s = 0;
            char seen_tag[64] = {};
            ASSERT_EQ(std::sscanf(line.c_str(), "%d %63s T%d S%d", &pri, seen_tag, &t, &s), 4)
                << line;
            ASSERT_TRUE(t >= 0 && t < Threads) << line;
            EXPECT_EQ(s, next[t]) << line;
            next[t] = s + 1;
            EXPECT_EQ(seen_tag, tag) << line;
            EXPECT_EQ(pri, 19 * 8 + severity[s % 4]) << line;
        }
    });
}

TEST_F(SyslogTarget, RestartOfTheReceiverLosesOnlyWhatIsCounted) {
    isolated([this] {
        std::unique_ptr<Rsyslogd> rsyslogd;
        ASSERT_NO_FATAL_FAILURE(start_receiver(rsyslogd));
        Vorn handle("app", 0);
        auto log_range = [&handle](int first, int end) {
            for (int n = first; n < end; ++n) {
                log_text(handle, "R" + std::to_string(n) + "\n");
            }
            ASSERT_EQ(handle.flush(), 0);
        };
        StdoutPipe out;
        log_range(0, 100);
        ASSERT_EQ(wait_for_lines("received.log", 100).size(), 100u);
        rsyslogd->stop();
        unlink(socket().c_str());
        log_range(100, 200);
        rsyslogd->start();
        ASSERT_TRUE(wait_for_path(socket()));
        log_range(200, 300);
        VornInit::reset_vorn_state();
        const long lost = counted_losses(out.text(), "sys");
        std::vector<std::string> lines =
            wait_for_lines("received.log", 300 - lost, std::chrono::seconds(5));
        EXPECT_EQ(lost, 100) << out.text();
        EXPECT_EQ(static_cast<long>(lines.size()), 300 - lost);
        // What arrived is every record but those counted, in order.
        int previous = -1;
        for (const std::string& line : lines) {
            int n = std::stoi(line.substr(line.find(" R") + 2));
            EXPECT_GT(n, previous) << line;
            previous = n;
        }
    });
}

// With flush_on_crash, what the target had queued when the process died
// reaches the system logger through its worker.
TEST_F(SyslogTarget, QueuedRecordsArriveWhenTheProcessCrashes) {
    isolated([this] {
        std::unique_ptr<Rsyslogd> rsyslogd;
        ASSERT_NO_FATAL_FAILURE(start_receiver(rsyslogd, "<flush_on_crash>true</flush_on_crash>"));
        // The receiver stops reading: the records queue up in the target
        // until it reads again, some time after the crash began.
        constexpr int Records = 20000;
        ASSERT_EQ(kill(rsyslogd->pid, SIGSTOP), 0);
        // A process, not a thread: the child below is forked from this one.
        const pid_t receiver = rsyslogd->pid;
        const pid_t resume = fork();
        if (resume == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            kill(receiver, SIGCONT);
            std::_Exit(0);
        }
        ChildEnd end = run_child(
            [] {
                Vorn handle("app", 0);
                for (int n = 0; n < Records; ++n) {
                    log_text(handle, "R" + std::to_string(n) + "\n");
                }
                std::abort();
            },
            20);
        waitpid(resume, nullptr, 0);
        EXPECT_TRUE(WIFSIGNALED(end.status) && WTERMSIG(end.status) == SIGABRT);
        EXPECT_EQ(wait_for_lines("received.log", Records, std::chrono::seconds(5)).size(),
                  std::size_t{Records});
    });
}

TEST_F(SyslogTarget, RecordLongerThanADatagramIsCutAndReported) {
    isolated([this] {
        std::unique_ptr<Rsyslogd> rsyslogd;
        ASSERT_NO_FATAL_FAILURE(start_receiver(rsyslogd));
        StdoutPipe out;
        constexpr int Long = 3;
        {
            Vorn handle("app", 0);
            for (int n = 0; n < Long; ++n) {
                log_text(handle, "L" + std::string(1 << 20, 'x') + "\n");
            }
            log_text(handle, "after\n");
        }
        VornInit::reset_vorn_state();
        // Said once, then at most once a second with the count since.
        const std::string said =
            "Record longer than the syslog socket takes, truncated in target: sys";
        const std::vector<std::string> reported = split_lines(out.text());
        ASSERT_FALSE(reported.empty());
        EXPECT_EQ(reported[0], said);
        const std::regex more(said + " - (\\d+) more records truncated");
        long truncated = 1;
        for (std::size_t i = 1; i < reported.size(); ++i) {
            std::smatch match;
            ASSERT_TRUE(std::regex_match(reported[i], match, more)) << reported[i];
            truncated += std::stol(match[1]);
        }
        EXPECT_EQ(truncated, Long);
        EXPECT_LT(reported.size(), std::size_t{Long});
        std::vector<std::string> lines = wait_for_lines("received.log", Long + 1);
        ASSERT_EQ(lines.size(), std::size_t{Long + 1});
        EXPECT_NE(lines[0].find(" Lxxx"), std::string::npos);
        EXPECT_NE(lines[Long].find(" after"), std::string::npos);
    });
}

TEST_F(SyslogTarget, MissingSocketIsReportedAndCounted) {
    isolated([] {
        write_config("vorn_config.xml", syslog_config(cwd() + "/nobody.sock"));
        StdoutPipe out;
        {
            Vorn handle("app", 0);
            for (int n = 0; n < 3; ++n) {
                log_text(handle, "lost\n");
            }
        }
        VornInit::reset_vorn_state();
        EXPECT_EQ(split_lines(out.text()),
                  (std::vector<std::string>{
                      "Could not write msg in target: sys - No such file or directory",
                      "Could not write msg in target: sys - 2 more records lost"}));
    });
}

TEST(SyslogTargetSetup, RefusedFacilityOrIdentKeepsTheTargetFromStarting) {
    for (const auto& [element, line] :
         {std::pair{"<facility>kern</facility>", "Invalid facility in target: sys - \"kern\"\n"},
          {"<ident>my app</ident>", "Invalid ident in target: sys - \"my app\"\n"},
          {"<ident>api:v2</ident>", "Invalid ident in target: sys - \"api:v2\"\n"}}) {
        SCOPED_TRACE(element);
        isolated([element = std::string(element), line = std::string(line)] {
            write_config("vorn_config.xml", "<target name=\"sys\"><type>syslog</type>" + element +
                                                "</target>" + logger_record("app", "sys"));
            StdoutPipe out;
            Vorn handle("app", 0);
            EXPECT_FALSE(handle.logable(Vorn::OUT));
            EXPECT_EQ(out.text(), line);
        });
    }
}

// A record longer than a datagram, of 3-byte characters, behind 0, 1 and 2
// bytes of ASCII so that some cut would fall inside a character: each
// arrives cut after a whole one.
TEST(SyslogTargetSetup, LongRecordIsCutOnACharacterBoundary) {
    isolated([] {
        const std::string path = cwd() + "/raw.sock";
        const int receiver = bound_receiver(path);
        ASSERT_GE(receiver, 0);
        write_config("vorn_config.xml", syslog_config(path));
        StdoutPipe out;
        Vorn handle("app", 0);
        std::string characters;
        for (int i = 0; i < 100000; ++i) {
            characters += "\xe2\x82\xac";  // U+20AC
        }
        std::vector<char> buffer(1 << 20);
        for (const char* ascii : {"", "a", "ab"}) {
            log_text(handle, ascii + characters + "\n");
            ASSERT_EQ(handle.flush(), 0);
            ssize_t got = recv(receiver, buffer.data(), buffer.size(), 0);
            ASSERT_GT(got, 0);
            const std::string text(buffer.data(), static_cast<std::size_t>(got));
            const std::size_t body = text.find("]: ") + 3 + std::string(ascii).size();
            ASSERT_LT(text.size(), body + characters.size()) << "not cut";
            EXPECT_EQ((text.size() - body) % 3, 0u) << ascii;
            EXPECT_EQ(text.compare(body, text.size() - body, characters, 0, text.size() - body), 0);
        }
        close(receiver);
    });
}

// A record that waited before its send carries the time it was handed
// over, not the send's, in the header.
TEST(SyslogTargetSetup, HeaderCarriesTheRecordsTimeNotTheSends) {
    isolated([] {
        setenv("TZ", "UTC", 1);
        tzset();
        const std::string path = cwd() + "/raw.sock";
        const int receiver = bound_receiver(path);
        ASSERT_GE(receiver, 0);
        // A bound keeps the record in the queue, where a preset time stays.
        std::string config = syslog_config(path);
        config.insert(config.find("</target>"), "<queue_max>100</queue_max>");
        write_config("vorn_config.xml", config);
        Vorn handle("app", 0);
        auto* message = new Message();
        message->text << "late\n";
        message->level = Vorn::INFO;
        message->origin.time_us = 981173106'000000;  // 2001-02-03 04:05:06 UTC
        VornService::get_service()->get_logger("app", 0)->log(message);
        ASSERT_EQ(handle.flush(), 0);
        char buffer[256];
        const ssize_t got = recv(receiver, buffer, sizeof buffer, 0);
        ASSERT_GT(got, 0);
        EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(got)),
                  "<158>Feb  3 04:05:06 vorntest[" + std::to_string(getpid()) + "]: late");
        close(receiver);
    });
}

// A receiver that never reads: once a send has waited its second, every
// way of ending the target (flush, stop, exit, a reload that moves the
// logger away) ends within a few seconds, and each record either sits in
// the receiver's queue or is counted in the loss lines.
constexpr int StuckRecords = 3000;

TEST(SyslogTargetSetup, ReceiverThatNeverReadsHoldsNobodyUp) {
    struct Case {
        const char* name;
        void (*end)(Vorn& handle);
    };
    const Case cases[] = {
        {"flush", [](Vorn& handle) { handle.flush(); }},
        {"reset", [](Vorn&) { VornInit::reset_vorn_state(); }},
        {"exit", [](Vorn&) { std::exit(0); }},
        {"reload elsewhere",
         [](Vorn&) {
             write_config("vorn_config.xml",
                          file_target("f", "app.log") + logger_record("app", "f"));
             VornInit::reload();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        isolated([&c] {
            const int receiver = bound_receiver(cwd() + "/stuck.sock");
            ASSERT_GE(receiver, 0);
            write_config("vorn_config.xml", syslog_config(cwd() + "/stuck.sock"));
            ChildEnd end = run_child(
                [&c] {
                    Vorn handle("app", 0);
                    for (int i = 0; i < StuckRecords; ++i) {
                        log_text(handle, "record " + std::to_string(i) + "\n");
                    }
                    c.end(handle);
                    VornInit::reset_vorn_state();
                    std::_Exit(0);
                },
                30, true);
            ASSERT_FALSE(end.hung);
            EXPECT_LT(end.seconds, 6.0);
            long delivered = 0;
            char buffer[512];
            while (recv(receiver, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
                ++delivered;
            }
            close(receiver);
            EXPECT_GT(delivered, 0);
            EXPECT_EQ(delivered + counted_losses(end.out, "sys"), StuckRecords) << end.out;
        });
    }
}

}  // namespace
}  // namespace zvk::test
