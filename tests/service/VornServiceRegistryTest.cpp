#include <string>
#include <unordered_set>

#include "ConfigText.h"
#include "TestSupport.h"
#include "zvk/FileLog.h"
#include "zvk/Logger.h"
#include "zvk/Target.h"
#include "zvk/VornInit.h"
#include "zvk/VornService.h"

namespace zvk::test {

namespace {

std::size_t distinct_targets(const VornService& service) {
    std::unordered_set<Target*> distinct;
    for (const auto& entry : service.targets) {
        distinct.insert(entry.second);
    }
    return distinct.size();
}

}  // namespace

TEST(VornServiceRegistry, SameNameGivesSameLoggerAndOneTarget) {
    isolated([] {
        write_config("vorn_config.xml",
                     file_target("app_file", "app.log") + logger_record("app", "app_file", "INFO"));
        VornService* service = VornService::get_service();
        Logger* first = service->get_logger("app", 0);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(service->get_logger("app", 0), first);
        EXPECT_EQ(first->level, Logger::INFO);
        EXPECT_EQ(first->name, "app");
        EXPECT_FALSE(first->has_owner);
        ASSERT_EQ(service->targets.size(), 1u);
        EXPECT_EQ(service->targets.at("app_file"), first->target);
        EXPECT_EQ(first->target->type, Target::FILE_TARGET);
        EXPECT_EQ(list_dir("logs"), std::vector<std::string>{"app.log"});
    });
}

TEST(VornServiceRegistry, LoggersShareOneFileTarget) {
    isolated([] {
        write_config("vorn_config.xml", file_target("shared", "shared.log") +
                                            logger_record("a", "shared", "INFO") +
                                            logger_record("b", "shared", "DEBUG"));
        VornService* service = VornService::get_service();
        Logger* a = service->get_logger("a", 0);
        Logger* b = service->get_logger("b", 0);
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        EXPECT_NE(a, b);
        EXPECT_EQ(a->target, b->target);
        EXPECT_EQ(service->targets.size(), 1u);
        EXPECT_NE(dynamic_cast<zvk::FileLog*>(a->target), nullptr);
    });
}

TEST(VornServiceRegistry, ConsoleUnderSeveralNamesIsDeletedOnce) {
    isolated([] {
        write_config("vorn_config.xml", stdout_target("screen") + stdout_target("term") +
                                            logger_record("a", "screen", "INFO") +
                                            logger_record("b", "term", "WARN"));
        VornService* service = VornService::get_service();
        Logger* a = service->get_logger("a", 0);
        Logger* b = service->get_logger("b", 0);
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(a->target, b->target);
        EXPECT_EQ(a->target->type, Target::CONSOLE_TARGET);
        EXPECT_EQ(a->target->name, "console");
        EXPECT_EQ(service->targets.size(), 3u);
        EXPECT_EQ(service->targets.at("console"), a->target);
        EXPECT_EQ(service->targets.at("screen"), a->target);
        EXPECT_EQ(service->targets.at("term"), a->target);
        EXPECT_EQ(distinct_targets(*service), 1u);
        service->stop();
        EXPECT_EQ(service->state, VornService::SERVICE_STOPPED);
        EXPECT_TRUE(service->targets.empty());
        EXPECT_TRUE(service->loggers.empty());
        EXPECT_EQ(service->config, nullptr);
        service->stop();
        EXPECT_EQ(service->state, VornService::SERVICE_STOPPED);
    });
}

TEST(VornServiceRegistry, ConsoleWithoutRecordIsBuiltIn) {
    isolated([] {
        write_config("vorn_config.xml", "");
        VornService* service = VornService::get_service();
        Target* console = service->get_target("console");
        ASSERT_NE(console, nullptr);
        EXPECT_EQ(console->type, Target::CONSOLE_TARGET);
        EXPECT_EQ(service->get_target("console"), console);
        EXPECT_EQ(service->targets.size(), 1u);
        EXPECT_EQ(service->get_target("Console"), nullptr);
    });
}

TEST(VornServiceRegistry, CreateStdTargetMakesTheConsoleOnce) {
    isolated([] {
        write_config("vorn_config.xml", "");
        VornService* service = VornService::get_service();
        Target* console = service->create_std_target();
        ASSERT_NE(console, nullptr);
        EXPECT_EQ(console->type, Target::CONSOLE_TARGET);
        EXPECT_EQ(console->name, "console");
        EXPECT_EQ(console->state, Target::RUNNING);
        EXPECT_EQ(service->create_std_target(), console);
        EXPECT_EQ(service->get_target("console"), console);
        EXPECT_EQ(service->targets.size(), 1u);
    });
}

TEST(VornServiceRegistry, CreateFileTargetMakesAStartedFileLogOnce) {
    isolated([] {
        write_config("vorn_config.xml", file_target("f", "f.log"));
        VornService* service = VornService::get_service();
        Target* target = service->create_file_target("f");
        ASSERT_NE(target, nullptr);
        EXPECT_NE(dynamic_cast<FileLog*>(target), nullptr);
        EXPECT_EQ(target->name, "f");
        EXPECT_EQ(target->state, Target::RUNNING);
        EXPECT_EQ(service->create_file_target("f"), target);
        EXPECT_EQ(service->targets.size(), 1u);
        EXPECT_EQ(service->targets.at("f"), target);
        EXPECT_EQ(list_dir("logs"), std::vector<std::string>{"f.log"});
    });
}

TEST(VornServiceRegistry, OwnerKeyReservesLogger) {
    isolated([] {
        write_config("vorn_config.xml", stdout_target("screen") +
                                            logger_record("mine", "screen", "INFO") +
                                            logger_record("shared", "screen", "INFO"));
        VornService* service = VornService::get_service();
        Logger* mine = service->get_logger("mine", 7);
        ASSERT_NE(mine, nullptr);
        EXPECT_TRUE(mine->has_owner);
        EXPECT_EQ(mine->owner_id, 7);
        EXPECT_EQ(service->get_logger("mine", 8), nullptr);
        EXPECT_EQ(service->get_logger("mine", 0), nullptr);
        EXPECT_EQ(service->get_logger("mine", 7), mine);
        EXPECT_EQ(service->loggers.size(), 1u);
        Logger* shared = service->get_logger("shared", 0);
        ASSERT_NE(shared, nullptr);
        EXPECT_FALSE(shared->has_owner);
        EXPECT_EQ(service->get_logger("shared", 8), shared);
        EXPECT_EQ(service->get_logger("shared", 7), shared);
    });
}

TEST(VornServiceRegistry, InvalidLevelKeepsTarget) {
    isolated([] {
        write_config("vorn_config.xml", stdout_target("screen") +
                                            logger_record("loud", "screen", "LOUD") +
                                            logger_record("lower", "screen", "info"));
        VornService* service = VornService::get_service();
        CaptureFd out(1);
        EXPECT_EQ(service->get_logger("loud", 0), nullptr);
        EXPECT_EQ(service->get_logger("lower", 0), nullptr);
        EXPECT_EQ(out.text(), "Invalid level: LOUD\nInvalid level: info\n");
        EXPECT_TRUE(service->loggers.empty());
        EXPECT_EQ(service->targets.count("console"), 1u);
        EXPECT_EQ(service->targets.count("screen"), 1u);
    });
}

TEST(VornServiceRegistry, UnknownTargetTypeIsReported) {
    isolated([] {
        write_config("vorn_config.xml",
                     "<target name=\"net\"><type>network</type></target>\n"
                     "<target name=\"up\"><type>STDOUT</type></target>\n" +
                         logger_record("remote", "net", "INFO") +
                         logger_record("shout", "up", "INFO"));
        VornService* service = VornService::get_service();
        CaptureFd out(1);
        EXPECT_EQ(service->get_logger("remote", 0), nullptr);
        EXPECT_EQ(service->get_logger("shout", 0), nullptr);
        EXPECT_EQ(out.text(), "Invalid target type: network\nInvalid target type: STDOUT\n");
        EXPECT_TRUE(service->targets.empty());
    });
}

TEST(VornServiceRegistry, UnknownNameIsSilent) {
    isolated([] {
        write_config("vorn_config.xml", stdout_target("screen"));
        VornService* service = VornService::get_service();
        CaptureFd out(1);
        EXPECT_EQ(service->get_logger("nobody", 0), nullptr);
        EXPECT_EQ(service->get_target("nothing"), nullptr);
        EXPECT_EQ(out.text(), "");
        EXPECT_TRUE(service->targets.empty());
    });
}

TEST(VornServiceRegistry, FileTargetNamedConsoleServesStdoutRecords) {
    isolated([] {
        write_config("vorn_config.xml", file_target("console", "c.log") + stdout_target("screen") +
                                            logger_record("f", "console", "INFO") +
                                            logger_record("s", "screen", "INFO"));
        VornService* service = VornService::get_service();
        Logger* f = service->get_logger("f", 0);
        Logger* s = service->get_logger("s", 0);
        ASSERT_NE(f, nullptr);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(f->target->type, Target::FILE_TARGET);
        EXPECT_EQ(s->target, f->target);
    });
}

TEST(VornServiceRegistry, ResetEmptiesAndInitCreatesAfresh) {
    isolated([] {
        write_config("vorn_config.xml",
                     stdout_target("screen") + logger_record("app", "screen", "WARN"));
        VornService* service = VornService::get_service();
        ASSERT_NE(service->get_logger("app", 0), nullptr);
        VornService::reset_vorn_state();
        EXPECT_EQ(service->state, VornService::SERVICE_STOPPED);
        EXPECT_EQ(service->get_logger("app", 0), nullptr);
        EXPECT_EQ(service->get_target("console"), nullptr);
        EXPECT_EQ(service->get_logger("CONSOLE", 0), nullptr);
        EXPECT_TRUE(service->targets.empty());
        ASSERT_EQ(VornInit::init(), 0);
        Logger* again = service->get_logger("app", 0);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(again->level, Logger::WARN);
        // Both names asked for before are routed again: "app", and the
        // built-in CONSOLE logger.
        EXPECT_EQ(service->loggers.size(), 2u);
        EXPECT_EQ(service->targets.size(), 2u);
    });
}

TEST(VornServiceRegistry, UpperCaseConsoleIsBuiltInDebugLogger) {
    isolated([] {
        write_config("vorn_config.xml", stdout_target("screen"));
        VornService* service = VornService::get_service();
        CaptureFd out(1);
        Logger* console = service->get_logger("CONSOLE", 0);
        EXPECT_EQ(out.text(), "");
        ASSERT_NE(console, nullptr);
        EXPECT_EQ(console->level, Logger::DEBUG);
        EXPECT_EQ(console->target->type, Target::CONSOLE_TARGET);
        EXPECT_EQ(service->targets.at("console"), console->target);
        EXPECT_EQ(service->get_logger("CONSOLE", 0), console);
        EXPECT_EQ(service->get_logger("Console", 0), nullptr);
    });
}

TEST(VornServiceRegistry, UpperCaseConsoleRecordWins) {
    isolated([] {
        write_config("vorn_config.xml",
                     stdout_target("screen") + logger_record("CONSOLE", "screen", "ERROR"));
        VornService* service = VornService::get_service();
        Logger* console = service->get_logger("CONSOLE", 0);
        ASSERT_NE(console, nullptr);
        EXPECT_EQ(console->level, Logger::ERROR);
        EXPECT_EQ(service->targets.count("screen"), 1u);
    });
}

TEST(VornServiceRegistry, UnstartableFileTargetIsDeleted) {
    isolated([] {
        write_config("vorn_config.xml", "<target name=\"nameless\"><type>file</type></target>\n" +
                                            logger_record("app", "nameless", "INFO"));
        VornService* service = VornService::get_service();
        EXPECT_EQ(service->get_logger("app", 0), nullptr);
        EXPECT_TRUE(service->targets.empty());
        EXPECT_TRUE(service->loggers.empty());
    });
}

}  // namespace zvk::test
