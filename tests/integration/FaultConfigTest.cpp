#include <string>
#include <vector>

#include "ConfigText.h"
#include "TestSupport.h"
#include "zvk/Logger.h"
#include "zvk/Vorn.h"
#include "zvk/VornConfig.h"
#include "zvk/VornInit.h"
#include "zvk/VornService.h"

namespace zvk::test {

namespace {

using Names = std::vector<std::string>;

// A file target and the logger "app" that writes to it.
std::string app_records() {
    return file_target("app_file", "app.log", "3") + logger_record("app", "app_file");
}

struct Outcome {
    int loaded = -2;
    bool bound = false;
    std::string out;
};

// Loads `document` as the configuration, binds a handle to "app", logs one
// record through it when it has a logger, and stops the service.
Outcome load_and_log(const std::string& document) {
    write_file("vorn_config.xml", document);
    CaptureFd out(1);
    Outcome outcome;
    outcome.loaded = VornInit::load_config("vorn_config.xml");
    {
        Vorn handle("app", 0);
        outcome.bound = handle.logger != nullptr;
        if (outcome.bound) {
            log_text(handle, "kept\n");
        }
    }
    VornInit::reset_vorn_state();
    outcome.out = out.text();
    return outcome;
}

// A document that does not load leaves a running service without loggers:
// one line says so and why, nothing is created, every handle logs nothing.
void expect_rejected(const std::string& document, const std::string& why) {
    Outcome outcome = load_and_log(document);
    EXPECT_EQ(outcome.loaded, 0);
    EXPECT_FALSE(outcome.bound);
    EXPECT_EQ(outcome.out, "Could not load Vorn config file: vorn_config.xml - " + why + "\n");
    EXPECT_EQ(list_dir("."), Names{"vorn_config.xml"});
}

// `said`: the lines that name what the load passed over.
void expect_loaded(const std::string& document, const std::string& file = "logs/app.log",
                   const std::string& said = "") {
    Outcome outcome = load_and_log(document);
    EXPECT_EQ(outcome.loaded, 0);
    ASSERT_TRUE(outcome.bound);
    EXPECT_EQ(outcome.out, said);
    EXPECT_EQ(read_file(file), "kept\n");
    EXPECT_EQ(list_dir("."), (Names{"logs", "vorn_config.xml"}));
}

std::string entity_bomb() {
    std::string doc = "<?xml version=\"1.0\"?>\n<!DOCTYPE vorn [\n<!ENTITY e0 \"lol\">\n";
    for (int i = 1; i < 10; ++i) {
        std::string prev = "&e" + std::to_string(i - 1) + ";";
        doc += "<!ENTITY e" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k) {
            doc += prev;
        }
        doc += "\">\n";
    }
    return doc + "]>\n<vorn><log_dir>&e9;</log_dir>" + app_records() + "</vorn>\n";
}

}  // namespace

// A file whose load stops at an element runs with what came before it:
// its loggers and file-size limit. Its log directory is not applied: the
// earlier load's stays, "logs" when there was none.
TEST(VornFaultConfig, LoadStoppedByAnElementKeepsWhatCameBefore) {
    for (const std::string earlier_dir : {"", "first"}) {
        isolated([&] {
            VornService* service = VornService::get_service();
            if (!earlier_dir.empty()) {
                write_config("good.xml", "<log_dir>" + earlier_dir + "</log_dir>\n");
                ASSERT_EQ(service->init("good.xml"), VornService::SERVICE_RUNNING);
            }
            write_config("partial.xml",
                         "<log_dir>second</log_dir><file_size_max>3M</file_size_max>\n" +
                             app_records() + "<target name=\"broken\"/>\n" +
                             logger_record("later", "app_file"));
            EXPECT_EQ(service->init("partial.xml"), VornService::SERVICE_RUNNING);
            EXPECT_EQ(file_size_limit(), rlim_t{3} << 20);
            {
                Vorn later("later", 0);
                EXPECT_EQ(later.logger, nullptr);
                Vorn app("app", 0);
                ASSERT_NE(app.logger, nullptr);
                log_text(app, "kept\n");
            }
            VornInit::reset_vorn_state();
            const std::string dir = earlier_dir.empty() ? "logs" : earlier_dir;
            EXPECT_NE(read_file(dir + "/app.log").find("kept"), std::string::npos) << dir;
        });
    }
}

TEST(VornFaultConfig, MalformedXmlLoadsNothing) {
    isolated([] {
        expect_rejected("<vorn><log_dir>logs</log_dir>" + app_records() +
                            "<target name=\"open\"><type>file</type>",
                        "line 3, column 38: no element found");
    });
}

TEST(VornFaultConfig, EmptyFileLoadsNothing) {
    isolated([] { expect_rejected("", "the document is empty"); });
}

TEST(VornFaultConfig, TenMegabyteConfigurationLoads) {
    isolated([] {
        std::string body = "<log_dir>logs</log_dir>\n";
        const std::string value(100, 'v');
        int count = 0;
        while (body.size() < (10u << 20)) {
            std::string name = "value" + std::to_string(count++);
            body += "<" + name + ">" + value + "</" + name + ">\n";
        }
        // Named up to a limit, then counted: a large document does not flood.
        std::string said;
        for (int i = 0; i < 20; ++i) {
            said += "vorn_config.xml:" + std::to_string(4 + i) + ": unknown element <value" +
                    std::to_string(i) + ">\n";
        }
        said += "vorn_config.xml: " + std::to_string(count - 20) +
                " more unknown elements or dropped loggers; vorn-check-config lists them all\n";
        expect_loaded(vorn_xml(body + app_records()), "logs/app.log", said);
        ASSERT_EQ(VornInit::init(), 0);
        VornService* service = VornService::get_service();
        EXPECT_EQ(service->get_config_value("value" + std::to_string(count - 1)), value);
        EXPECT_EQ(service->config->elements.size(), static_cast<std::size_t>(count + 1));
    });
}

TEST(VornFaultConfig, ConfigurationBeyondSizeCapLoadsNothing) {
    isolated([] {
        std::string padding = "<!--" + std::string(64u << 20, 'x') + "-->\n";
        expect_rejected(vorn_xml("<log_dir>logs</log_dir>" + app_records() + padding),
                        "larger than 64 MiB");
    });
}

// Loads in well under a second; a parser that rescans the open token for
// every piece it is fed needs minutes for it.
TEST(VornFaultConfig, LongSingleTokenLoadsWithoutStalling) {
    isolated([] {
        std::string comment = "<!--" + std::string(60u << 20, 'x') + "-->\n";
        watchdog(12);
        expect_loaded(vorn_xml("<log_dir>logs</log_dir>" + comment + app_records()));
    });
}

TEST(VornFaultConfig, DeepNestingLoadsNothing) {
    isolated([] {
        std::string deep;
        for (int i = 0; i < 100000; ++i) {
            deep += "<d>";
        }
        for (int i = 0; i < 100000; ++i) {
            deep += "</d>";
        }
        expect_rejected(vorn_xml("<log_dir>logs</log_dir>" + app_records() + deep),
                        "line 5, column 766: elements nested too deeply");
    });
}

TEST(VornFaultConfig, ModerateNestingLoads) {
    isolated([] {
        std::string deep;
        for (int i = 0; i < 200; ++i) {
            deep += "<d>";
        }
        for (int i = 0; i < 200; ++i) {
            deep += "</d>";
        }
        expect_loaded(vorn_xml("<log_dir>logs</log_dir>" + app_records() + deep), "logs/app.log",
                      "vorn_config.xml:5: unknown element <d>\n");
    });
}

TEST(VornFaultConfig, EntityBombLoadsNothing) {
    isolated([] {
        expect_rejected(entity_bomb(), "line 2, column 16: document type declaration refused");
    });
}

TEST(VornFaultConfig, ExternalEntityIsNeverRead) {
    isolated([] {
        write_file("secret.txt", "logs");
        std::string doc =
            "<?xml version=\"1.0\"?>\n<!DOCTYPE vorn [<!ENTITY x SYSTEM \"secret.txt\">]>\n"
            "<vorn><log_dir>&x;</log_dir>" +
            app_records() + "</vorn>\n";
        write_file("vorn_config.xml", doc);
        CaptureFd out(1);
        EXPECT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        Vorn handle("app", 0);
        EXPECT_EQ(handle.logger, nullptr);
        EXPECT_EQ(
            out.text(),
            "Could not load Vorn config file: vorn_config.xml - line 2, column 16: document type "
            "declaration refused\n");
        EXPECT_EQ(list_dir("."), (Names{"secret.txt", "vorn_config.xml"}));
    });
}

TEST(VornFaultConfig, UndeclaredEntityLoadsNothing) {
    isolated([] {
        expect_rejected(vorn_xml("<log_dir>&x;</log_dir>" + app_records()),
                        "line 3, column 10: undefined entity");
    });
}

TEST(VornFaultConfig, NonUtf8BytesLoadNothing) {
    isolated([] {
        expect_rejected(vorn_xml("<log_dir>logs\xff\xfe</log_dir>" + app_records()),
                        "line 3, column 14: not well-formed (invalid token)");
    });
}

TEST(VornFaultConfig, DeclaredLatin1NameBecomesUtf8) {
    isolated([] {
        std::string doc =
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<vorn>"
            "<log_dir>logs</log_dir>" +
            file_target("app_file", "journ\xe9.log", "3") + logger_record("app", "app_file") +
            "</vorn>\n";
        expect_loaded(doc, "logs/journ\xc3\xa9.log");
        EXPECT_EQ(list_dir("logs"), Names{"journ\xc3\xa9.log"});
    });
}

TEST(VornFaultConfig, LoggerNamingItselfAsTargetIsNoLogger) {
    isolated([] {
        write_file("vorn_config.xml", vorn_xml("<log_dir>logs</log_dir>" +
                                               logger_record("loop", "loop") + app_records()));
        CaptureFd out(1);
        ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        Vorn loop("loop", 0);
        EXPECT_EQ(loop.logger, nullptr);
        // The rest of the configuration is unaffected.
        Vorn app("app", 0);
        ASSERT_NE(app.logger, nullptr);
        log_text(app, "kept\n");
        VornInit::reset_vorn_state();
        EXPECT_EQ(out.text(),
                  "vorn_config.xml:3: logger \"loop\" dropped: its target \"loop\" is not "
                  "defined\n");
        EXPECT_EQ(read_file("logs/app.log"), "kept\n");
        EXPECT_EQ(list_dir("logs"), Names{"app.log"});
    });
}

TEST(VornFaultConfig, LoggerAndTargetMayShareAName) {
    isolated([] {
        expect_loaded(vorn_xml("<log_dir>logs</log_dir>" + file_target("app", "app.log", "3") +
                               logger_record("app", "app")));
    });
}

// The file target named "console" and the console target share one name:
// whichever is created first serves the loggers of both.
TEST(VornFaultConfig, FileTargetNamedConsoleSharesTheConsoleName) {
    isolated([] {
        write_file("vorn_config.xml",
                   vorn_xml("<log_dir>logs</log_dir>" + file_target("console", "console.log", "3") +
                            stdout_target("screen") + logger_record("to_file", "console") +
                            logger_record("to_screen", "screen")));
        CaptureFd out(1);
        {
            CaptureFd err(2);
            ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
            Vorn file("to_file", 0);
            Vorn screen("to_screen", 0);
            ASSERT_NE(file.logger, nullptr);
            ASSERT_NE(screen.logger, nullptr);
            EXPECT_EQ(file.logger->target, screen.logger->target);
            log_text(file, "file first\n");
            log_text(screen, "screen second\n");
            VornInit::reset_vorn_state();
            EXPECT_EQ(err.text(), "");
        }
        EXPECT_EQ(read_file("logs/console.log"), "file first\nscreen second\n");
        {
            CaptureFd err(2);
            ASSERT_EQ(VornInit::init(), 0);
            Vorn screen("to_screen", 0);
            Vorn file("to_file", 0);
            ASSERT_NE(screen.logger, nullptr);
            EXPECT_EQ(file.logger->target, screen.logger->target);
            log_text(screen, "screen first\n");
            log_text(file, "file second\n");
            VornInit::reset_vorn_state();
            EXPECT_EQ(err.text(), "screen first\nfile second\n");
        }
        EXPECT_EQ(read_file("logs/console.log"), "file first\nscreen second\n");
        EXPECT_EQ(out.text(), "");
        EXPECT_EQ(list_dir("logs"), Names{"console.log"});
    });
}

}  // namespace zvk::test
