// The syslog target through a local rsyslogd that forwards with omrelp from
// a queue on disk to a central rsyslogd (imrelp to a file): every record of
// every thread reaches the central file, in each thread's order, also when
// the central server is down at the start and for a while later on.
// Forwarding is at-least-once, so duplicates are counted, and bounded.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ConfigText.h"
#include "Rsyslogd.h"
#include "TestSupport.h"
#include "zvk/Vorn.h"
#include "zvk/VornInit.h"

namespace zvk::test {
namespace {

constexpr int Threads = 4;
constexpr int PerThread = 10000;
constexpr int Records = Threads * PerThread;

// docs/forwarding.md recommends these two, with the test's directories.
// The forwarder keeps what the central server has not taken in a queue on
// disk, which survives a restart of its own. Not a disk-assisted one: its
// memory and disk halves send at the same time and reorder the records. A
// queue at its default size of 1000 records drops when it is full. RELP's
// default window of 128 unacknowledged records holds the chain to some
// 3,000 records a second.
const char* const kForwarderConf = R"(global(workDirectory="DIR/rsyslog-work")
module(load="imuxsock" SysSock.Use="off")
module(load="omrelp")
input(type="imuxsock" Socket="DIR/log.sock" RateLimit.Interval="0")
action(type="omrelp" target="127.0.0.1" port="PORT" windowSize="1024"
       queue.type="Disk" queue.filename="forward" queue.size="1000000"
       queue.maxDiskSpace="1g" queue.saveOnShutdown="on"
       action.resumeRetryCount="-1" action.resumeInterval="1")
)";

// Only what arrives over RELP goes to the file, not the server's own notes.
const char* const kCentralConf = R"(global(workDirectory="DIR/central-rsyslog-work")
module(load="imrelp")
input(type="imrelp" address="127.0.0.1" port="PORT" ruleset="central")
template(name="line" type="string" string="%syslogtag%%msg%\n")
ruleset(name="central") {
    action(type="omfile" file="DIR/central.log" template="line")
}
)";

bool relp_modules_installed() {
    for (const char* dir :
         {"/usr/lib/x86_64-linux-gnu/rsyslog", "/usr/lib/aarch64-linux-gnu/rsyslog",
          "/usr/lib64/rsyslog", "/usr/lib/rsyslog"}) {
        const std::string base = dir;
        if (access((base + "/imrelp.so").c_str(), R_OK) == 0 &&
            access((base + "/omrelp.so").c_str(), R_OK) == 0) {
            return true;
        }
    }
    return false;
}

// A TCP port on the loopback that nobody listened on a moment ago.
int free_port() {
    int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = -1;
    if (bind(probe, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
    }
    close(probe);
    return port;
}

std::string with_port(std::string conf, int port) {
    conf.replace(conf.find("PORT"), 4, std::to_string(port));
    return conf;
}

// What the central file holds of this process's records.
struct Tally {
    std::vector<std::vector<int>> seen =
        std::vector<std::vector<int>>(Threads, std::vector<int>(PerThread, 0));
    int missing = Records;
    int duplicates = 0;
    // A record that arrives for the first time while an earlier one of its
    // thread has not: reordered, or the earlier one was lost.
    int out_of_order = 0;
    // Lines with our tag that are not a whole record.
    int garbled = 0;

    std::string summary() const {
        return std::to_string(missing) + " missing, " + std::to_string(duplicates) +
               " duplicated, " + std::to_string(out_of_order) + " out of order, " +
               std::to_string(garbled) + " garbled";
    }
};

Tally tally(const std::vector<std::string>& lines) {
    const std::string tag = "vorntest[" + std::to_string(getpid()) + "]:";
    Tally result;
    std::vector<int> next(Threads, 0);
    for (const std::string& line : lines) {
        if (line.compare(0, tag.size(), tag) != 0) {
            continue;  // the forwarder's own messages
        }
        int t = -1;
        int s = -1;
        char end = 0;
        if (std::sscanf(line.c_str() + tag.size(), " T%d S%d%c", &t, &s, &end) != 2 || t < 0 ||
            t >= Threads || s < 0 || s >= PerThread) {
            ++result.garbled;
            continue;
        }
        if (result.seen[t][s]++ > 0) {
            ++result.duplicates;
            continue;
        }
        --result.missing;
        result.out_of_order += s != next[t];
        next[t] = std::max(next[t], s + 1);
    }
    return result;
}

// The tally once every record is in the central file and it has stopped
// growing, or once it has not grown for `quiet`.
Tally wait_for_records(const std::string& path, std::chrono::seconds quiet) {
    std::size_t size = 0;
    auto last_growth = std::chrono::steady_clock::now();
    for (;;) {
        const std::string text = read_file(path);
        const auto now = std::chrono::steady_clock::now();
        if (text.size() != size) {
            size = text.size();
            last_growth = now;
        }
        // A second's quiet after the last record catches a late duplicate.
        if (now - last_growth > std::chrono::seconds(1)) {
            Tally result = tally(split_lines(text));
            if (result.missing == 0 || now - last_growth > quiet) {
                return result;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

// "T<thread> S<seq>" from each of the threads; with `pause`, a pause after
// every hundred records of a thread.
void produce(std::chrono::milliseconds pause) {
    std::vector<std::thread> producers;
    for (int t = 0; t < Threads; ++t) {
        producers.emplace_back([t, pause] {
            Vorn handle("app", 0);
            for (int s = 0; s < PerThread; ++s) {
                std::ostringstream text;
                text << "T" << t << " S" << s << '\n';
                handle.log(std::move(text), Vorn::INFO);
                if (s % 100 == 99) {
                    std::this_thread::sleep_for(pause);
                }
            }
        });
    }
    for (std::thread& producer : producers) {
        producer.join();
    }
}

class RelpForwarding : public ::testing::Test {
protected:
    void SetUp() override {
        binary = rsyslogd_path();
        if (binary.empty()) {
            GTEST_SKIP() << "rsyslogd is not installed (scripts/deps.sh installs rsyslog)";
        }
        if (!relp_modules_installed()) {
            GTEST_SKIP() << "rsyslog's imrelp and omrelp are not installed (rsyslog-relp)";
        }
    }
    // The central server (started now or later) and the forwarder; the
    // service sends to the forwarder. Inside `isolated`.
    void start_servers(std::unique_ptr<Rsyslogd>& central, std::unique_ptr<Rsyslogd>& forwarder,
                       bool central_now) {
        alarm(300);  // a hang fails the test instead of stalling the suite
        const int port = free_port();
        ASSERT_GT(port, 0);
        central = std::make_unique<Rsyslogd>(binary, cwd(), with_port(kCentralConf, port),
                                             "central", central_now);
        forwarder = std::make_unique<Rsyslogd>(binary, cwd(), with_port(kForwarderConf, port));
        ASSERT_TRUE(wait_for_path(cwd() + "/log.sock")) << read_file("rsyslogd.out");
        write_config("vorn_config.xml",
                     "<target name=\"sys\"><type>syslog</type><socket>" + cwd() +
                         "/log.sock</socket><facility>local3</facility><ident>vorntest</ident>"
                         "</target>" +
                         logger_record("app", "sys"));
    }
    // Every record arrived, each thread's in order, few twice.
    static void expect_all_arrived(const std::string& library_out, std::chrono::seconds quiet) {
        const auto start = std::chrono::steady_clock::now();
        Tally result = wait_for_records("central.log", quiet);
        const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start;
        std::printf("central server, %.1f s after the last record: %s\n", waited.count(),
                    result.summary().c_str());
        std::fflush(stdout);  // the child ends with _Exit
        const std::string why = result.summary() + "\nlibrary: " + library_out +
                                "\nforwarder: " + read_file("rsyslogd.out") +
                                "\ncentral: " + read_file("central-rsyslogd.out");
        EXPECT_EQ(result.missing, 0) << why;
        EXPECT_EQ(result.out_of_order, 0) << why;
        EXPECT_EQ(result.garbled, 0) << why;
        EXPECT_LE(result.duplicates, Records / 100) << why;
    }

    std::string binary;
};

TEST_F(RelpForwarding, FourThreadsArriveAtTheCentralServerEachInOrder) {
    isolated([this] {
        std::unique_ptr<Rsyslogd> central;
        std::unique_ptr<Rsyslogd> forwarder;
        ASSERT_NO_FATAL_FAILURE(start_servers(central, forwarder, true));
        StdoutPipe out;
        produce(std::chrono::milliseconds(0));
        VornInit::reset_vorn_state();
        const std::string library_out = out.text();
        EXPECT_EQ(library_out, "");
        expect_all_arrived(library_out, std::chrono::seconds(30));
    });
}

TEST_F(RelpForwarding, NothingIsLostWhileTheCentralServerIsDown) {
    isolated([this] {
        std::unique_ptr<Rsyslogd> central;
        std::unique_ptr<Rsyslogd> forwarder;
        ASSERT_NO_FATAL_FAILURE(start_servers(central, forwarder, false));
        StdoutPipe out;
        // About 20 s of records: the central server comes up after 3 s and
        // is down again from 6 s to 16 s.
        std::thread producers([] { produce(std::chrono::milliseconds(200)); });
        std::this_thread::sleep_for(std::chrono::seconds(3));
        central->start();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        central->stop();
        std::this_thread::sleep_for(std::chrono::seconds(10));
        central->start();
        producers.join();
        VornInit::reset_vorn_state();
        const std::string library_out = out.text();
        EXPECT_EQ(library_out, "");
        expect_all_arrived(library_out, std::chrono::seconds(60));
    });
}

}  // namespace
}  // namespace zvk::test
