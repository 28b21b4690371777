#include <latch>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_set>
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

constexpr int Threads = 16;
constexpr int Shared = 4;

std::string concurrency_config() {
    std::string body = stdout_target("screen");
    for (int i = 0; i < Shared; ++i) {
        std::string n = std::to_string(i);
        body += file_target("shared_file" + n, "shared" + n + ".log") +
                logger_record("shared" + n, "shared_file" + n, "INFO");
    }
    for (int i = 0; i < Threads; ++i) {
        std::string n = std::to_string(i);
        body += file_target("own_file" + n, "own" + n + ".log") +
                logger_record("own" + n, "own_file" + n, "INFO") +
                logger_record("screen" + n, "screen", "ERROR");
    }
    return body;
}

// One record per handle, named after the thread and the logger.
void log_line(const Vorn& handle, int thread, const std::string& logger) {
    std::ostringstream text;
    text << "thread " << thread << " " << logger << "\n";
    handle.log(std::move(text), Vorn::INFO);
}

}  // namespace

TEST(VornServiceConcurrency, HandlesFromManyThreadsShareOneLoggerPerName) {
    isolated([] {
        write_config("vorn_config.xml", concurrency_config());
        std::vector<std::vector<zvk::Logger*>> seen(Threads);
        std::latch start(Threads);
        std::vector<std::thread> threads;
        for (int t = 0; t < Threads; ++t) {
            threads.emplace_back([t, &seen, &start] {
                start.arrive_and_wait();
                std::string shared = "shared" + std::to_string(t % Shared);
                std::string own = "own" + std::to_string(t);
                Vorn a(shared, 0);
                Vorn b(own, 0);
                Vorn c("shared" + std::to_string((t + 1) % Shared), 0);
                Vorn d("screen" + std::to_string(t), 0);
                seen[t] = {a.logger, b.logger, c.logger, d.logger};
                log_line(a, t, shared);
                log_line(b, t, own);
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        VornService* service = VornService::get_service();
        ASSERT_EQ(service->loggers.size(), static_cast<std::size_t>(Shared + 2 * Threads));
        for (int t = 0; t < Threads; ++t) {
            EXPECT_EQ(seen[t][0], service->loggers.at("shared" + std::to_string(t % Shared)));
            EXPECT_EQ(seen[t][1], service->loggers.at("own" + std::to_string(t)));
            EXPECT_EQ(seen[t][2], service->loggers.at("shared" + std::to_string((t + 1) % Shared)));
            EXPECT_EQ(seen[t][3], service->loggers.at("screen" + std::to_string(t)));
        }
        // One file target per configured file name, one console target
        // under "console" and "screen".
        std::unordered_set<zvk::Target*> distinct;
        for (const auto& entry : service->targets) {
            distinct.insert(entry.second);
        }
        EXPECT_EQ(service->targets.size(), static_cast<std::size_t>(Shared + Threads + 2));
        EXPECT_EQ(distinct.size(), static_cast<std::size_t>(Shared + Threads + 1));
        for (const auto& entry : service->loggers) {
            EXPECT_NE(entry.second->target, nullptr);
        }
        VornInit::reset_vorn_state();
        for (int t = 0; t < Threads; ++t) {
            std::string own = "own" + std::to_string(t);
            EXPECT_EQ(read_file("logs/" + own + ".log"),
                      "thread " + std::to_string(t) + " " + own + "\n");
        }
        for (int s = 0; s < Shared; ++s) {
            auto lines = split_lines(read_file("logs/shared" + std::to_string(s) + ".log"));
            EXPECT_EQ(lines.size(), static_cast<std::size_t>(Threads / Shared));
        }
    });
}

}  // namespace zvk::test
