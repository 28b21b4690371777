// The one console target takes its queue bound (and memory ceiling) from the
// stdout record it is first created for; the built-in CONSOLE logger's is
// unbounded.
#include <fcntl.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "ConfigText.h"
#include "TestSupport.h"
#include "zvk/Vorn.h"
#include "zvk/VornInit.h"

namespace zvk::test {
namespace {

// Logs `records` through `logger` while standard error is a full pipe, so
// that the worker blocks in its first write; then lets the pipe drain.
// Returns how many records reached standard error; `out` gets standard
// output meanwhile.
int log_into_a_stalled_console(const std::string& logger, int records, std::string& out) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    fcntl(fds[1], F_SETPIPE_SZ, 4096);
    int saved = dup(2);
    dup2(fds[1], 2);
    close(fds[1]);
    // Filled up front: the worker's first write waits for the reader.
    fcntl(2, F_SETFL, O_NONBLOCK);
    while (write(2, "-", 1) == 1) {
    }
    fcntl(2, F_SETFL, 0);
    StdoutPipe captured;
    {
        Vorn handle(logger, 0);
        EXPECT_NE(handle.logger, nullptr);
        for (int i = 0; i < records; ++i) {
            std::ostringstream text;
            text << "record " << i << '\n';
            handle.log(std::move(text), Vorn::INFO);
        }
    }
    int arrived = 0;
    std::thread reader([&] {
        const std::string all = read_to_end(fds[0]);
        // The first record follows the filler on the same line.
        for (auto at = all.find("record "); at != std::string::npos;
             at = all.find("record ", at + 1)) {
            ++arrived;
        }
    });
    VornInit::reset_vorn_state();
    dup2(saved, 2);
    close(saved);
    reader.join();
    out = captured.text();
    return arrived;
}

TEST(VornServiceBound, ConsoleTakesTheBoundOfItsStdoutRecord) {
    isolated([] {
        write_config("vorn_config.xml",
                     "<target name=\"screen\"><type>stdout</type><queue_max>2</queue_max>"
                     "<when_full>drop</when_full></target>\n" +
                         logger_record("app", "screen"));
        std::string out;
        int arrived = log_into_a_stalled_console("app", 50, out);
        std::smatch match;
        ASSERT_TRUE(std::regex_search(out, match,
                                      std::regex(R"( dropped (\d+) records in target: console\n)")))
            << out;
        EXPECT_LE(arrived, 3);
        EXPECT_EQ(arrived + std::stoi(match[1]), 50);
    });
}

// Without queue_max, what waits for a stuck worker stops at the memory
// ceiling the target's record sets; past it when_full drop counts.
TEST(VornServiceBound, MemoryCeilingOfTheRecordAppliesWhenFull) {
    isolated([] {
        constexpr int Records = 20000;
        write_config("vorn_config.xml",
                     "<target name=\"screen\"><type>stdout</type>"
                     "<queue_memory_max>64K</queue_memory_max><when_full>drop</when_full>"
                     "</target>\n" +
                         logger_record("app", "screen"));
        std::string out;
        const int arrived = log_into_a_stalled_console("app", Records, out);
        int dropped = 0;
        const std::regex line(R"( dropped (\d+) records in target: console\n)");
        for (auto it = std::sregex_iterator(out.begin(), out.end(), line);
             it != std::sregex_iterator(); ++it) {
            dropped += std::stoi((*it)[1]);
        }
        EXPECT_LT(arrived, Records / 4) << out;
        EXPECT_EQ(arrived + dropped, Records) << out;
    });
}

TEST(VornServiceBound, BuiltInConsoleIsUnbounded) {
    isolated([] {
        write_config("vorn_config.xml", "<log_dir>logs</log_dir>\n");
        std::string out;
        EXPECT_EQ(log_into_a_stalled_console("CONSOLE", 50, out), 50);
        EXPECT_EQ(out, "");
    });
}

}  // namespace
}  // namespace zvk::test
