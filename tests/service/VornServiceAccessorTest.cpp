// The accessors through which an application reads the fields the service
// changes under its mutex, and the Logger's current level.
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ConfigText.h"
#include "TestSupport.h"
#include "zvk/Logger.h"
#include "zvk/Vorn.h"
#include "zvk/VornConfig.h"
#include "zvk/VornService.h"

namespace zvk::test {

namespace {

// One of two configurations a test switches between: each differs from
// the other in every field an accessor reads.
struct Variant {
    std::string log_dir;
    std::string zone_element;
    std::string zone;
    std::string size_text;
    std::uint64_t size;
    std::string screen;  // the stdout target's record name
    std::string level;
    Logger::Level level_value;
    bool extra;  // a second logger "extra"
};

const Variant variants[] = {
    {"logs_a", "LOCAL", "local", "100M", 100ull << 20, "screen_a", "INFO", Logger::INFO, false},
    {"logs_b", "GMT", "GMT", "200M", 200ull << 20, "screen_b", "WARN", Logger::WARN, true},
};

void write_variant(const Variant& v) {
    write_config("vorn_config.xml",
                 "<log_dir>" + v.log_dir + "</log_dir><time_zone>" + v.zone_element +
                     "</time_zone><file_size_max>" + v.size_text + "</file_size_max>\n" +
                     stdout_target(v.screen) + logger_record("app", v.screen, v.level) +
                     (v.extra ? logger_record("extra", v.screen, "DEBUG") : std::string()));
}

// Which variant the accessors' copies show; -1: none, or a mix.
int shown_variant(const VornService& service) {
    const std::string log_dir = service.running_log_dir();
    for (int i = 0; i < 2; ++i) {
        if (log_dir == variants[i].log_dir) {
            return i;
        }
    }
    return -1;
}

}  // namespace

TEST(VornServiceAccessor, CopiesOfTheRunningFields) {
    isolated([] {
        write_variant(variants[1]);
        VornService* service = VornService::get_service();
        Vorn app("app");
        Vorn extra("extra");
        EXPECT_EQ(service->running_state(), VornService::SERVICE_RUNNING);
        EXPECT_EQ(service->running_log_dir(), "logs_b");
        EXPECT_EQ(service->running_time_zone(), "GMT");
        EXPECT_EQ(service->running_file_limit(), 200ull << 20);
        EXPECT_EQ(service->running_config_file(), "vorn_config.xml");
        EXPECT_EQ(service->logger_names(), (std::vector<std::string>{"app", "extra"}));
        EXPECT_EQ(service->target_names(), (std::vector<std::string>{"console", "screen_b"}));
        std::shared_ptr<const VornConfig> model = service->running_config();
        ASSERT_NE(model, nullptr);
        EXPECT_EQ(model->log_dir(), "logs_b");

        VornService::reset_vorn_state();
        EXPECT_EQ(service->running_state(), VornService::SERVICE_STOPPED);
        EXPECT_EQ(service->running_config(), nullptr);
        EXPECT_TRUE(service->logger_names().empty());
        EXPECT_TRUE(service->target_names().empty());
        // What the caller held stays readable after the service let it go.
        EXPECT_NE(model->get_logger("extra"), nullptr);
    });
}

TEST(VornServiceAccessor, HeldModelAndCurrentLevelAcrossAReload) {
    isolated([] {
        write_variant(variants[0]);
        VornService* service = VornService::get_service();
        Vorn app("app");
        ASSERT_NE(app.logger, nullptr);
        EXPECT_EQ(app.logger->current_level(), Logger::INFO);
        std::shared_ptr<const VornConfig> before = service->running_config();

        write_variant(variants[1]);
        ASSERT_EQ(service->reload(), 0);
        EXPECT_EQ(app.logger->current_level(), Logger::WARN);
        EXPECT_EQ(before->log_dir(), "logs_a");
        EXPECT_EQ(before->get_logger("extra"), nullptr);
        EXPECT_EQ(service->running_config()->log_dir(), "logs_b");
    });
}

// Every copy a reader takes while another thread reloads is one variant's
// whole value. Run under the tsan preset: the reads race with nothing.
TEST(VornServiceAccessor, ReadWhileAnotherThreadReloads) {
    isolated([] {
        constexpr int Reloads = 30;
        write_variant(variants[0]);
        VornService* service = VornService::get_service();
        Vorn app("app");
        ASSERT_NE(app.logger, nullptr);
        std::atomic<bool> done{false};
        std::atomic<int> reads{0};
        std::thread reader([&] {
            while (!done.load() || reads.load() == 0) {
                EXPECT_EQ(service->running_state(), VornService::SERVICE_RUNNING);
                const int shown = shown_variant(*service);
                ASSERT_NE(shown, -1);
                const std::string zone = service->running_time_zone();
                EXPECT_TRUE(zone == "local" || zone == "GMT") << zone;
                const std::uint64_t limit = service->running_file_limit();
                EXPECT_TRUE(limit == variants[0].size || limit == variants[1].size) << limit;
                EXPECT_EQ(service->running_config_file(), "vorn_config.xml");
                const std::vector<std::string> loggers = service->logger_names();
                EXPECT_FALSE(loggers.empty());
                EXPECT_FALSE(service->target_names().empty());
                std::shared_ptr<const VornConfig> model = service->running_config();
                ASSERT_NE(model, nullptr);
                EXPECT_NE(model->get_logger("app"), nullptr);
                const Logger::Level level = app.logger->current_level();
                EXPECT_TRUE(level == Logger::INFO || level == Logger::WARN) << level;
                reads.fetch_add(1);
            }
        });
        for (int round = 1; round <= Reloads; ++round) {
            write_variant(variants[round % 2]);
            EXPECT_EQ(service->reload(), 0);
        }
        done.store(true);
        reader.join();
        EXPECT_GT(reads.load(), 0);
        EXPECT_EQ(shown_variant(*service), Reloads % 2);
    });
}

}  // namespace zvk::test
