#include <sys/stat.h>

#include <locale>
#include <stdexcept>
#include <string>

#include "ConfigText.h"
#include "TestSupport.h"
#include "zvk/Vorn.h"
#include "zvk/VornConfig.h"
#include "zvk/VornInit.h"
#include "zvk/VornService.h"

namespace zvk::test {

namespace {

const char* const NotFound = "Could not locate Vorn config file\n";

}  // namespace

TEST(VornServiceDiscovery, NoConfigThroughHandlePrintsOnce) {
    isolated([] {
        CaptureFd out(1);
        Vorn handle("app", 0);
        EXPECT_EQ(out.text(), NotFound);
        VornService* service = VornService::get_service();
        EXPECT_EQ(service->state, VornService::SERVICE_STOPPED);
        EXPECT_NE(service->config, nullptr);
        EXPECT_EQ(handle.logger, nullptr);
        EXPECT_FALSE(handle.logable(Vorn::OUT));
    });
}

TEST(VornServiceDiscovery, NoConfigThroughInitPrintsTwice) {
    isolated([] {
        CaptureFd out(1);
        EXPECT_EQ(VornInit::init(), -1);
        EXPECT_EQ(out.text(), std::string(NotFound) + NotFound);
        EXPECT_EQ(VornService::get_service()->init(nullptr), -1);
    });
}

TEST(VornServiceDiscovery, InitFirstWithValidFileSucceedsSilently) {
    isolated([] {
        write_config("vorn_config.xml", "<log_dir>first</log_dir>\n");
        CaptureFd out(1);
        EXPECT_EQ(VornInit::init(), 0);
        EXPECT_EQ(out.text(), "");
        VornService* service = VornService::get_service();
        EXPECT_EQ(service->state, VornService::SERVICE_RUNNING);
        EXPECT_EQ(service->config_file, "vorn_config.xml");
        EXPECT_EQ(service->log_dir, "first");
    });
}

TEST(VornServiceDiscovery, ConfigDirectoryWinsOverWorkingDirectory) {
    isolated([] {
        ASSERT_EQ(mkdir("config", 0755), 0);
        write_config("config/vorn_config.xml", "<log_dir>from_config_dir</log_dir>\n");
        write_config("vorn_config.xml", "<log_dir>from_cwd</log_dir>\n");
        VornService* service = VornService::get_service();
        EXPECT_EQ(service->config_file, "config/vorn_config.xml");
        EXPECT_EQ(service->log_dir, "from_config_dir");
    });
}

TEST(VornServiceDiscovery, DirectoryNamedLikeFileIsChosenAndFailsToOpen) {
    isolated([] {
        ASSERT_EQ(mkdir("vorn_config.xml", 0755), 0);
        CaptureFd out(1);
        VornService* service = VornService::get_service();
        EXPECT_EQ(out.text(), "Could not open Vorn config file: vorn_config.xml\n");
        EXPECT_EQ(service->config_file, "vorn_config.xml");
        EXPECT_EQ(service->state, VornService::SERVICE_RUNNING);
        EXPECT_EQ(service->log_dir, "");
    });
}

TEST(VornServiceDiscovery, UnopenablePathStillRuns) {
    isolated([] {
        CaptureFd out(1);
        EXPECT_EQ(VornInit::load_config("missing/none.xml"), 0);
        EXPECT_EQ(out.text(), "Could not open Vorn config file: missing/none.xml\n");
        VornService* service = VornService::get_service();
        EXPECT_EQ(service->config_file, "missing/none.xml");
        EXPECT_EQ(service->state, VornService::SERVICE_RUNNING);
        EXPECT_EQ(file_size_limit(), 10485760u);
    });
}

TEST(VornServiceDiscovery, LoadConfigAfterHandleWithoutLoggerLoadsThePath) {
    isolated([] {
        write_config("vorn_config.xml", stdout_target("screen") + logger_record("app", "screen"));
        write_config("etc.xml", stdout_target("screen") + logger_record("etc", "screen"));
        Vorn none("nowhere", 0);
        EXPECT_EQ(VornInit::load_config("etc.xml"), 0);
        EXPECT_EQ(VornService::get_service()->config_file, "etc.xml");
        EXPECT_NE(Vorn("etc", 0).logger, nullptr);
        EXPECT_EQ(Vorn("app", 0).logger, nullptr);
    });
}

TEST(VornServiceDiscovery, LoadConfigWhileLoggersAreInUseIsRefused) {
    isolated([] {
        write_config("vorn_config.xml", stdout_target("screen") + logger_record("app", "screen"));
        write_config("etc.xml", stdout_target("screen") + logger_record("etc", "screen"));
        Vorn handle("app", 0);
        ASSERT_NE(handle.logger, nullptr);
        CaptureFd out(1);
        EXPECT_EQ(VornInit::load_config("etc.xml"), -1);
        EXPECT_EQ(out.text(),
                  "Could not load Vorn config file: etc.xml - the service runs with "
                  "vorn_config.xml and has loggers in use\n");
        EXPECT_EQ(VornService::get_service()->config_file, "vorn_config.xml");
        EXPECT_EQ(VornService::get_service()->loggers.at("app"), handle.logger);
    });
}

TEST(VornServiceDiscovery, InitReloadsTheFileGivenToLoadConfig) {
    isolated([] {
        write_config("vorn_config.xml",
                     stdout_target("screen") + logger_record("searched", "screen"));
        write_config("etc.xml", stdout_target("screen") + logger_record("given", "screen"));
        ASSERT_EQ(VornInit::load_config("etc.xml"), 0);
        ASSERT_EQ(VornInit::init(), 0);
        EXPECT_EQ(VornService::get_service()->config_file, "etc.xml");
        EXPECT_NE(Vorn("given", 0).logger, nullptr);
        EXPECT_EQ(Vorn("searched", 0).logger, nullptr);
    });
}

TEST(VornServiceDiscovery, FirstCallDecidesTheInstance) {
    isolated([] {
        write_config("chosen.xml", "<log_dir>chosen</log_dir>\n");
        write_config("vorn_config.xml", "<log_dir>searched</log_dir>\n");
        EXPECT_EQ(VornInit::load_config("chosen.xml"), 0);
        VornService* service = VornService::get_service();
        EXPECT_EQ(service, VornService::init_vorn_service("other.xml"));
        EXPECT_EQ(service, VornService::vornsvc.load());
        EXPECT_EQ(service->config_file, "chosen.xml");
        EXPECT_EQ(service->log_dir, "chosen");
    });
}

TEST(VornServiceDiscovery, ResetStopsAndInitOrLoadConfigRestarts) {
    isolated([] {
        write_config("vorn_config.xml", "");
        VornInit::reset_vorn_state();
        VornService* service = VornService::get_service();
        EXPECT_EQ(service->state, VornService::SERVICE_STOPPED);
        EXPECT_EQ(service->config, nullptr);
        EXPECT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        EXPECT_NE(service->config, nullptr);
        VornInit::reset_vorn_state();
        EXPECT_EQ(VornInit::init(), 0);
        EXPECT_NE(service->config, nullptr);
    });
}

TEST(VornServiceLoading, MalformedXmlRunsWithDefaults) {
    isolated([] {
        write_file("vorn_config.xml", "<vorn><log_dir>x</log_dir>");
        rlim_t hard_before = 0;
        file_size_limit(&hard_before);
        CaptureFd out(1);
        EXPECT_EQ(VornInit::init(), 0);
        EXPECT_EQ(out.text(),
                  "Could not load Vorn config file: vorn_config.xml - line 1, column 27: no "
                  "element found\n"
                  "Could not load Vorn config file: vorn_config.xml - line 1, column 27: no "
                  "element found\n");
        VornService* service = VornService::get_service();
        EXPECT_EQ(service->log_dir, "");
        EXPECT_EQ(service->time_zone, "");
        EXPECT_EQ(service->file_limit, 10485760u);
        rlim_t hard = 0;
        EXPECT_EQ(file_size_limit(&hard), 10485760u);
        EXPECT_EQ(hard, hard_before);
    });
}

TEST(VornServiceLoading, UnknownLocaleReportsAndFails) {
    isolated([] {
        std::string what;
        try {
            std::locale bogus("xx_NO.nosuch");
        } catch (const std::runtime_error& e) {
            what = e.what();
        }
        ASSERT_FALSE(what.empty()) << "the system knows the locale xx_NO.nosuch";
        write_config("vorn_config.xml",
                     "<locale>xx_NO.nosuch</locale><log_dir>mine</log_dir>"
                     "<time_zone>LOCAL</time_zone><file_size_max>1M</file_size_max>\n");
        rlim_t before = file_size_limit();
        CaptureFd out(1);
        EXPECT_EQ(VornInit::init(), -1);
        std::string line = "exception while loading Vorn config " + what + "\n";
        EXPECT_EQ(out.text(), line + line);
        VornService* service = VornService::get_service();
        EXPECT_EQ(service->state, VornService::SERVICE_STOPPED);
        EXPECT_EQ(service->init(nullptr), VornService::SERVICE_STOPPED);
        EXPECT_EQ(service->log_dir, "");
        EXPECT_EQ(service->time_zone, "");
        EXPECT_EQ(file_size_limit(), before);
    });
}

TEST(VornServiceLoading, TimeZoneLocalOnlyForUpperCase) {
    isolated([] {
        struct Case {
            const char* element;
            const char* zone;
        };
        const Case cases[] = {{"<time_zone>LOCAL</time_zone>", "local"},
                              {"<time_zone>local</time_zone>", "GMT"},
                              {"<time_zone>Local</time_zone>", "GMT"},
                              {"<time_zone></time_zone>", "GMT"},
                              {"", "GMT"},
                              {"<time_zone>LOCAL</time_zone>", "local"}};
        VornService* service = VornService::get_service();
        for (const Case& c : cases) {
            write_config("zone.xml", std::string(c.element) + "\n");
            EXPECT_EQ(service->init("zone.xml"), VornService::SERVICE_RUNNING);
            EXPECT_EQ(service->time_zone, c.zone) << c.element;
            Vorn handle("none", 0);
            EXPECT_EQ(handle.stamp_function,
                      std::string(c.zone) == "local" ? &Vorn::time_local : &Vorn::time_gmt)
                << c.element;
        }
    });
}

TEST(VornServiceLoading, MissingOrEmptyLogDirGivesLogs) {
    isolated([] {
        VornService* service = VornService::get_service();
        write_config("a.xml", "<log_dir>custom/dir</log_dir>\n");
        service->init("a.xml");
        EXPECT_EQ(service->log_dir, "custom/dir");
        write_config("b.xml", "<log_dir></log_dir>\n");
        service->init("b.xml");
        EXPECT_EQ(service->log_dir, "logs");
        write_config("c.xml", "<time_zone>GMT</time_zone>\n");
        service->init("c.xml");
        EXPECT_EQ(service->log_dir, "logs");
    });
}

TEST(VornServiceLoading, FailedReloadKeepsEarlierSettings) {
    isolated([] {
        write_config("good.xml", "<log_dir>kept</log_dir><time_zone>LOCAL</time_zone>\n" +
                                     stdout_target("screen") +
                                     logger_record("app", "screen", "INFO"));
        write_file("bad.xml", "<vorn><unclosed>");
        VornService* service = VornService::get_service();
        ASSERT_EQ(service->init("good.xml"), VornService::SERVICE_RUNNING);
        ASSERT_NE(service->get_logger("app", 0), nullptr);
        EXPECT_EQ(service->init("bad.xml"), VornService::SERVICE_RUNNING);
        EXPECT_TRUE(service->loggers.empty());
        EXPECT_TRUE(service->targets.empty());
        EXPECT_EQ(service->log_dir, "kept");
        EXPECT_EQ(service->time_zone, "local");
        EXPECT_EQ(service->get_logger("app", 0), nullptr);
    });
}

TEST(VornServiceLocale, UnknownNameLeavesGlobalLocale) {
    isolated([] {
        VornService* service = VornService::get_service();
        std::locale::global(std::locale::classic());
        CaptureFd out(1);
        service->set_locale(std::string("xx_NO.nosuch"));
        std::string text = out.text();
        std::string head = "Runtime error, could not set Vorn locale to: xx_NO.nosuch\nError: ";
        EXPECT_EQ(text.substr(0, head.size()), head);
        EXPECT_EQ(split_lines(text).size(), 2u);
        EXPECT_EQ(text.back(), '\n');
        EXPECT_EQ(std::locale().name(), "C");
    });
}

TEST(VornServiceLocale, KnownNameBecomesGlobal) {
    isolated([] {
        VornService* service = VornService::get_service();
        CaptureFd out(1);
        service->set_locale(std::string("POSIX"));
        service->set_locale(std::locale::classic());
        EXPECT_EQ(out.text(), "");
        EXPECT_EQ(std::locale().name(), "C");
    });
}

TEST(VornServiceConfigValue, EmptyWithoutModel) {
    isolated([] {
        write_config("vorn_config.xml", "<colour>blue</colour>\n");
        VornService* service = VornService::get_service();
        EXPECT_EQ(service->get_config_value("colour"), "blue");
        EXPECT_EQ(service->get_config_value("shape"), "");
        service->stop();
        EXPECT_EQ(service->get_config_value("colour"), "");
    });
}

TEST(VornServiceLoading, FailedReinitStopsCleanlyAndTheNextInitWorks) {
    isolated([] {
        const std::string targets = file_target("f", "app.log", "-1") + logger_record("app", "f");
        write_config("vorn_config.xml", targets);
        zvk::Vorn handle("app", 0);
        constexpr int Records = 20000;
        for (int i = 0; i < Records; ++i) {
            VORN_LOG(handle, INFO, i);
        }
        write_config("vorn_config.xml", "<locale>xx_NO.nosuch</locale>" + targets);
        {
            CaptureFd out(1);
            EXPECT_EQ(VornInit::init(), -1);
        }
        VornService* service = VornService::get_service();
        EXPECT_EQ(split_lines(read_file("logs/app.log")).size(), std::size_t{Records});
        EXPECT_EQ(service->config, nullptr);
        EXPECT_TRUE(service->targets.empty());
        EXPECT_EQ(zvk::Vorn("CONSOLE", 0).logger, nullptr);

        write_config("vorn_config.xml", "<locale>C</locale>" + targets);
        ASSERT_EQ(VornInit::init(), 0);
        zvk::Vorn again("app", 0);
        ASSERT_NE(again.logger, nullptr);
        VORN_LOG(again, INFO, "after");
        VornInit::reset_vorn_state();
        EXPECT_NE(read_file("logs/app.log").find(" INFO after\n"), std::string::npos);
    });
}

}  // namespace zvk::test
