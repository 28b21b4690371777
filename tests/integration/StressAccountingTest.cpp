#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ConfigText.h"
#include "TestSupport.h"
#include "zvk/Vorn.h"
#include "zvk/VornInit.h"

namespace zvk::test {

namespace {

constexpr int Producers = 4;
constexpr int PerProducer = sanitized ? 5000 : 20000;
constexpr std::size_t FileLimit = 8192;

// "T<thread> S<seq> " and a pattern of letters that depends on both, 20 to
// 300 bytes with the line end. The whole text follows from (thread, seq),
// so a torn, altered or misplaced record cannot match.
std::string stress_record(int thread, int seq) {
    std::size_t size = 20 + static_cast<std::size_t>(seq * 7919 + thread * 104729) % 281;
    std::string text = "T" + std::to_string(thread) + " S" + std::to_string(seq) + " ";
    for (std::size_t i = text.size(); i + 1 < size; ++i) {
        text += static_cast<char>('a' + (thread * 7 + seq * 13 + i) % 26);
    }
    return text + "\n";
}

std::size_t expected_bytes() {
    std::size_t total = 0;
    for (int t = 0; t < Producers; ++t) {
        for (int s = 0; s < PerProducer; ++s) {
            total += stress_record(t, s).size();
        }
    }
    return total;
}

// Every record present exactly once, whole, each producer's in order, and
// not one byte more or less than was logged.
void expect_accounted(const std::string& all) {
    std::vector<int> next(Producers, 0);
    int bad = 0;
    for (const std::string& line : split_lines(all)) {
        int thread = -1;
        int seq = -1;
        bool known = std::sscanf(line.c_str(), "T%d S%d ", &thread, &seq) == 2 && thread >= 0 &&
                     thread < Producers;
        if (!known || seq != next[thread] || line + "\n" != stress_record(thread, seq)) {
            ADD_FAILURE() << "unexpected record after " << (known ? next[thread] : -1) << ": "
                          << line;
            if (++bad == 5) {
                return;
            }
            continue;
        }
        ++next[thread];
    }
    for (int t = 0; t < Producers; ++t) {
        EXPECT_EQ(next[t], PerProducer) << "records of producer " << t;
    }
    EXPECT_EQ(all.size(), expected_bytes());
}

void produce(const std::string& logger) {
    std::vector<std::thread> producers;
    for (int t = 0; t < Producers; ++t) {
        producers.emplace_back([t, &logger] {
            Vorn handle(logger, 0);
            ASSERT_NE(handle.logger, nullptr);
            for (int s = 0; s < PerProducer; ++s) {
                std::ostringstream text;
                text << stress_record(t, s);
                handle.log(std::move(text), Vorn::INFO);
            }
        });
    }
    for (std::thread& producer : producers) {
        producer.join();
    }
}

}  // namespace

TEST(VornStressAccounting, FileTargetKeepsEveryRecordAcrossRotations) {
    isolated([] {
        write_file("vorn_config.xml",
                   vorn_xml("<log_dir>logs</log_dir><file_size_max>8K</file_size_max>\n" +
                            file_target("stress_file", "app.log", "-1") +
                            logger_record("stress", "stress_file")));
        CaptureFd out(1);
        produce("stress");
        VornInit::reset_vorn_state();
        EXPECT_EQ(out.text(), "");

        std::vector<std::string> files = log_files_in_order("logs", "app.log");
        ASSERT_GE(files.size(), 100u);
        std::string all;
        for (std::size_t f = 0; f < files.size(); ++f) {
            std::string content = read_file(files[f]);
            ASSERT_FALSE(content.empty()) << files[f];
            EXPECT_LE(content.size(), FileLimit) << files[f];
            EXPECT_EQ(content.back(), '\n') << "torn record at the end of " << files[f];
            all += content;
        }
        // Rotation happens only at the limit: a rotated file had no room left
        // for the record that opens its successor.
        std::size_t end = 0;
        for (std::size_t f = 0; f + 1 < files.size(); ++f) {
            std::size_t size = read_file(files[f]).size();
            end += size;
            std::size_t next_record = all.find('\n', end) + 1 - end;
            EXPECT_GT(size + next_record, FileLimit) << files[f];
        }
        expect_accounted(all);
    });
}

TEST(VornStressAccounting, ConsoleTargetKeepsEveryRecord) {
    isolated([] {
        // The capture file of standard error is bound by the limit as well.
        write_file("vorn_config.xml",
                   vorn_xml("<file_size_max>256M</file_size_max>\n" + stdout_target("screen") +
                            logger_record("stress", "screen")));
        CaptureFd out(1);
        CaptureFd err(2);
        produce("stress");
        VornInit::reset_vorn_state();
        std::string all = err.text();
        EXPECT_EQ(out.text(), "");
        expect_accounted(all);
        EXPECT_EQ(list_dir("."), std::vector<std::string>{"vorn_config.xml"});
    });
}

}  // namespace zvk::test
