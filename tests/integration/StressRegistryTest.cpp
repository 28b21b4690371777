#include <atomic>
#include <cstdio>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "ConfigText.h"
#include "TestSupport.h"
#include "zvk/Logger.h"
#include "zvk/Target.h"
#include "zvk/Vorn.h"
#include "zvk/VornInit.h"
#include "zvk/VornService.h"

namespace zvk::test {

namespace {

std::string tag(const char* prefix, int n) { return prefix + std::to_string(n); }

// Lines "<thread> <seq>": each thread's sequence numbers 0, 1, 2, ... in
// order; returns how many each thread had.
std::vector<int> count_in_order(const std::string& text, int threads) {
    std::vector<int> next(threads, 0);
    for (const std::string& line : split_lines(text)) {
        int thread = -1;
        int seq = -1;
        if (std::sscanf(line.c_str(), "%d %d", &thread, &seq) != 2 || thread < 0 ||
            thread >= threads || seq != next[thread] ||
            line != std::to_string(thread) + " " + std::to_string(seq)) {
            ADD_FAILURE() << "unexpected line: " << line;
            return next;
        }
        ++next[thread];
    }
    return next;
}

}  // namespace

TEST(VornStressRegistry, ThousandLoggersOnHundredFileTargets) {
    isolated([] {
        constexpr int Targets = 100;
        constexpr int Loggers = 1000;
        // 100 log files, 100 workers, and descriptors for the rest.
        allow_open_files(1024);
        std::string body = "<log_dir>logs</log_dir><file_size_max>16M</file_size_max>\n";
        for (int t = 0; t < Targets; ++t) {
            body += file_target(tag("target", t), tag("file", t) + ".log", "3");
        }
        for (int l = 0; l < Loggers; ++l) {
            body += logger_record(tag("logger", l), tag("target", l % Targets));
        }
        write_file("vorn_config.xml", vorn_xml(body));
        CaptureFd out(1);
        ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        {
            std::vector<Vorn> handles;
            handles.reserve(Loggers);
            for (int l = 0; l < Loggers; ++l) {
                handles.emplace_back(tag("logger", l), 0);
                ASSERT_NE(handles.back().logger, nullptr) << l;
            }
            VornService* service = VornService::get_service();
            EXPECT_EQ(service->loggers.size(), static_cast<std::size_t>(Loggers));
            EXPECT_EQ(service->targets.size(), static_cast<std::size_t>(Targets));
            for (int round = 0; round < 3; ++round) {
                for (int l = 0; l < Loggers; ++l) {
                    log_text(handles[l], tag("logger", l) + tag(" round", round) + "\n");
                }
            }
        }
        VornInit::reset_vorn_state();
        EXPECT_EQ(out.text(), "");
        EXPECT_EQ(list_dir("logs").size(), static_cast<std::size_t>(Targets));
        for (int t = 0; t < Targets; ++t) {
            std::string expected;
            for (int round = 0; round < 3; ++round) {
                for (int l = t; l < Loggers; l += Targets) {
                    expected += tag("logger", l) + tag(" round", round) + "\n";
                }
            }
            ASSERT_EQ(read_file("logs/" + tag("file", t) + ".log"), expected) << t;
        }
    });
}

TEST(VornStressRegistry, HandlesFromSixteenThreadsWhileOthersLog) {
    isolated([] {
        constexpr int Creators = 16;
        constexpr int Names = 64;
        constexpr int Files = 8;
        constexpr int Loggers = 4;
        std::string body = "<log_dir>logs</log_dir><file_size_max>64M</file_size_max>\n" +
                           file_target("busy_file", "busy.log", "3") +
                           logger_record("busy", "busy_file");
        for (int f = 0; f < Files; ++f) {
            body += file_target(tag("shared", f), tag("shared", f) + ".log", "3");
        }
        for (int n = 0; n < Names; ++n) {
            body += logger_record(tag("name", n), tag("shared", n % Files));
        }
        write_file("vorn_config.xml", vorn_xml(body));
        CaptureFd out(1);
        ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);

        std::atomic<bool> done{false};
        std::vector<int> logged(Loggers, 0);
        std::vector<std::thread> loggers;
        for (int t = 0; t < Loggers; ++t) {
            loggers.emplace_back([t, &done, &logged] {
                Vorn busy("busy", 0);
                ASSERT_NE(busy.logger, nullptr);
                int seq = 0;
                // At least some records, then on until the creators are done.
                while (seq < 200 || !done.load()) {
                    log_text(busy, std::to_string(t) + " " + std::to_string(seq++) + "\n");
                }
                logged[t] = seq;
            });
        }
        std::vector<std::vector<zvk::Logger*>> seen(Creators, std::vector<zvk::Logger*>(Names));
        std::latch start(Creators);
        std::vector<std::thread> creators;
        for (int c = 0; c < Creators; ++c) {
            creators.emplace_back([c, &seen, &start] {
                start.arrive_and_wait();
                for (int i = 0; i < Names; ++i) {
                    int n = (i + c * 5) % Names;
                    Vorn handle(tag("name", n), 0);
                    seen[c][n] = handle.logger;
                    if (handle.logger != nullptr) {
                        log_text(handle, std::to_string(c) + " " + std::to_string(i) + "\n");
                    }
                }
            });
        }
        for (std::thread& creator : creators) {
            creator.join();
        }
        done = true;
        for (std::thread& logger : loggers) {
            logger.join();
        }

        VornService* service = VornService::get_service();
        ASSERT_EQ(service->loggers.size(), static_cast<std::size_t>(Names + 1));
        for (int n = 0; n < Names; ++n) {
            zvk::Logger* registered = service->loggers.at(tag("name", n));
            for (int c = 0; c < Creators; ++c) {
                ASSERT_EQ(seen[c][n], registered) << "creator " << c << ", name " << n;
            }
        }
        VornInit::reset_vorn_state();
        EXPECT_EQ(out.text(), "");
        EXPECT_EQ(count_in_order(read_file("logs/busy.log"), Loggers), logged);
        std::vector<int> per_creator(Creators, 0);
        for (int f = 0; f < Files; ++f) {
            // Each creator's records in its own order; sequence numbers skip
            // the names that belong to other files.
            std::vector<int> last(Creators, -1);
            for (const std::string& line :
                 split_lines(read_file("logs/" + tag("shared", f) + ".log"))) {
                int c = -1;
                int i = -1;
                ASSERT_EQ(std::sscanf(line.c_str(), "%d %d", &c, &i), 2) << line;
                ASSERT_TRUE(c >= 0 && c < Creators) << line;
                EXPECT_GT(i, last[c]) << line;
                EXPECT_EQ((i + c * 5) % Names % Files, f) << line;
                last[c] = i;
                ++per_creator[c];
            }
        }
        EXPECT_EQ(per_creator, std::vector<int>(Creators, Names));
    });
}

// Re-initialising stops every worker only after it has written what is
// queued; handles made before are not used again (invalid by design).
TEST(VornStressRegistry, ReinitialisingWritesRecordsStillQueued) {
    isolated([] {
        constexpr int Producers = 4;
        constexpr int Records = sanitized ? 4000 : 20000;
        write_file("vorn_config.xml",
                   vorn_xml("<log_dir>logs</log_dir><file_size_max>64M</file_size_max>\n" +
                            file_target("app_file", "app.log", "3") + stdout_target("screen") +
                            logger_record("file", "app_file") + logger_record("screen", "screen")));
        CaptureFd out(1);
        CaptureFd err(2);
        ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        std::vector<std::thread> producers;
        for (int t = 0; t < Producers; ++t) {
            producers.emplace_back([t] {
                Vorn file("file", 0);
                Vorn screen("screen", 0);
                ASSERT_NE(file.logger, nullptr);
                ASSERT_NE(screen.logger, nullptr);
                for (int n = 0; n < Records; ++n) {
                    std::string line = std::to_string(t) + " " + std::to_string(n) + "\n";
                    log_text(file, line);
                    log_text(screen, line);
                }
            });
        }
        for (std::thread& producer : producers) {
            producer.join();
        }
        ASSERT_EQ(VornInit::init(), 0);
        VornService* service = VornService::get_service();
        // The loggers of the handles made before are routed by the new load.
        EXPECT_EQ(service->loggers.size(), 2u);
        const std::vector<int> all(Producers, Records);
        EXPECT_EQ(count_in_order(read_file("logs/app.log"), Producers), all);
        {
            Vorn file("file", 0);
            ASSERT_NE(file.logger, nullptr);
            log_text(file, "0 " + std::to_string(Records) + "\n");
        }
        VornInit::reset_vorn_state();
        std::vector<int> with_one_more = all;
        ++with_one_more[0];
        EXPECT_EQ(count_in_order(read_file("logs/app.log"), Producers), with_one_more);
        EXPECT_EQ(count_in_order(err.text(), Producers), all);
        EXPECT_EQ(out.text(), "");
    });
}

}  // namespace zvk::test
