// An application's use of every member that VornService, VornInit, Vorn,
// Logger, VornConfig, Message and Origin keep for it, built against the
// installed headers and run in an empty directory: exits 0 when each call
// answered as documented.
#include <cstdint>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <locale>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "zvk/Logger.h"
#include "zvk/Message.h"
#include "zvk/Origin.h"
#include "zvk/Vorn.h"
#include "zvk/VornConfig.h"
#include "zvk/VornInit.h"
#include "zvk/VornService.h"

namespace {

int failures = 0;

void check(bool ok, int line) {
    if (!ok) {
        std::cerr << "service_kept.cpp:" << line << ": not as documented\n";
        ++failures;
    }
}

#define CHECK(condition) check((condition), __LINE__)

const char* const config_text = R"(<vorn>
  <log_dir>logs</log_dir>
  <file_size_max>64M</file_size_max>
  <time_zone>GMT</time_zone>
  <target name="screen"><type>stdout</type></target>
  <target name="app_file"><type>file</type><file_name>app.log</file_name>
    <max_number_file>3</max_number_file><note>kept</note></target>
  <logger name="app"><target>app_file</target><accept_level>INFO</accept_level></logger>
  <logger name="screen_log"><target>screen</target><accept_level>WARN</accept_level></logger>
</vorn>
)";

std::ostringstream text_of(const std::string& text) {
    std::ostringstream stream;
    stream << text;
    return stream;
}

std::string own_stamp() { return "stamp"; }

void use_origin_and_message() {
    zvk::Message empty;
    CHECK(empty.level == 0 && empty.text.str().empty());
    std::ostringstream text = text_of("record\n");
    zvk::Message record(std::move(text), zvk::Vorn::WARN);
    CHECK(text.str().empty() && record.text.str() == "record\n");
    zvk::Origin& origin = record.origin;
    origin.logger = "app";
    origin.file = __FILE__;
    origin.func = __func__;
    origin.line = __LINE__;
    origin.thread = 1;
    origin.time_us = std::int64_t{1};
    zvk::Message moved(std::move(record));
    CHECK(moved.level == zvk::Vorn::WARN && moved.origin.line != 0);
    empty = std::move(moved);
    CHECK(empty.text.str() == "record\n");
}

void use_config() {
    using zvk::VornConfig;
    VornConfig config;
    CHECK(config.init() == -1 && config.xml_doc == nullptr);
    CHECK(config.load_config(std::string(config_text)) == 0);
    const std::string source(config_text);
    CHECK(config.load_config(source) == 0);
    std::istringstream string_stream(config_text);
    CHECK(config.load_config(string_stream) == 0);
    std::istringstream any_stream(config_text);
    CHECK(config.load_config(static_cast<std::istream&>(any_stream)) == 0);
    std::ifstream file("vorn_config.xml");
    CHECK(config.load_config(file) == 0);
    CHECK(!config.to_string().empty() && config.create_target("screen") == 1);
    int (VornConfig::*by_element)(const zvk::XMLElement*) = &VornConfig::create_target;
    int (VornConfig::*logger_by_element)(const zvk::XMLElement*) = &VornConfig::create_logger;
    CHECK(by_element != nullptr && logger_by_element != nullptr);
    const VornConfig::target_cf_t* target = config.get_target("app_file");
    CHECK(target != nullptr && target->name == "app_file" && target->type == config.key_file);
    const VornConfig::param_list& params = target->params;
    CHECK(!params.empty() && *VornConfig::target_param(*target, "note") == "kept");
    const VornConfig::logger_cf_t* logger = config.get_logger("app");
    CHECK(logger != nullptr && logger->name == "app" && logger->level == "INFO");
    CHECK(logger->target == target && logger->params.empty());
    CHECK(config.get_element("time_zone") == "GMT" && config.log_dir() == "logs");
    CHECK(config.file_size_litmit() == "64M" && config.get_element("none") == config.empty_value);
    CHECK(config.targets.size() == 2 && config.loggers.size() == 2 && !config.elements.empty());
    const std::string* keys[] = {
        &config.key_name,           &config.key_type,         &config.key_locale,
        &config.key_logger,         &config.key_target,       &config.key_logging,
        &config.key_blank,          &config.key_log_dir,      &config.key_file,
        &config.key_stdout,         &config.key_network,      &config.key_file_name,
        &config.key_time_zone,      &config.key_text_alert,   &config.key_email_alert,
        &config.key_logger_name,    &config.key_accept_level, &config.key_file_size_max,
        &config.key_max_number_file};
    CHECK(std::size(keys) == 19 && config.key_stdout == "stdout");
    CHECK(config.get_locale().name() == std::locale("").name());
    config.unload_xml_doc();
    CHECK(config.xml_doc == nullptr && config.to_string().empty());
    std::uint64_t bytes = 0;
    CHECK(VornConfig::file_size_bytes("2K", bytes, std::locale::classic()) && bytes == 2048);
}

void use_handle() {
    using zvk::Vorn;
    Vorn none;
    CHECK(!none.logable(Vorn::OUT) && none.version() == "1.0.0" && none.flush() == 0);
    Vorn app("app");
    Vorn owned("screen_log", 7);
    CHECK(app.logger != nullptr && app.level == Vorn::INFO && owned.logable(Vorn::WARN));
    CHECK(app.logable(Vorn::INFO) && !app.logable(Vorn::DEBUG));
    CHECK(app.stamp_function == &Vorn::time_gmt && !app.stamp().empty());
    VORN_LOG(app, INFO, "through the macro " << 1);
    app.log(text_of("plain\n"), Vorn::INFO);
    app.log(text_of("placed\n"), Vorn::WARN, __FILE__, __LINE__, __func__);
    CHECK(app.flush() == 0);
    Vorn moved(std::move(app));
    CHECK(!app.logable(Vorn::OUT) && moved.logable(Vorn::INFO));
    app = std::move(moved);
    app.stamp_function = &own_stamp;
    CHECK(app.stamp() == "stamp");
    CHECK(zvk::vorn_level::as_DEBUG == Vorn::DEBUG && Vorn::level_name(Vorn::AUDIT) == "AUDIT");
    CHECK(!Vorn::time_gmt().empty() && !Vorn::time_local().empty());
    CHECK(!Vorn::http_gmt_time().empty() && !Vorn::time_gmt_format().empty());
    CHECK(!Vorn::time_local_format().empty() && Vorn::time_gmt_format("%Y").size() == 4);
    CHECK(Vorn::time_gmt_format("%Y", std::time_t{0}) == "1970");
    CHECK(Vorn::time_local_format("%Y").size() == 4);
    CHECK(!Vorn::time_gmt_at(std::timespec{0, 0}).empty());
}

void use_logger(zvk::VornService& service) {
    using zvk::Logger;
    CHECK(Logger::get_level("WARN") == Logger::WARN && Logger::get_level("warn") == -1);
    Logger* app = service.get_logger("app", 0);
    CHECK(app != nullptr && app->name == "app" && app->owner_id == 0 && !app->has_owner);
    CHECK(app->current_level() == Logger::INFO && app->current_target() != nullptr);
    std::ostringstream text = text_of("through the logger\n");
    app->log(new zvk::Message(std::move(text), Logger::INFO));
    Logger* owned = service.get_logger("screen_log", 7);
    CHECK(owned != nullptr && owned->has_owner && service.get_logger("screen_log", 8) == nullptr);
    Logger::Level Logger::*level = &Logger::level;
    zvk::Target* Logger::*target = &Logger::target;
    CHECK(level != nullptr && target != nullptr);
    // A logger of the application's own, routed nowhere: log deletes.
    auto own = std::make_unique<Logger>("own", nullptr, Logger::DEBUG);
    own->log(new zvk::Message());
    CHECK(own->current_target() == nullptr);
}

void use_service() {
    using zvk::VornService;
    static_assert(std::is_default_constructible_v<VornService>);
    static_assert(std::is_constructible_v<VornService, const std::string&>);
    static_assert(std::has_virtual_destructor_v<VornService>);
    CHECK(zvk::VornInit::load_config("vorn_config.xml") == 0);
    VornService* service = VornService::get_service();
    CHECK(VornService::init_vorn_service("other.xml") == service);
    CHECK(VornService::vornsvc.load() == service);
    CHECK(service->default_log_dir == "logs" && service->default_file_size == 10485760);
    CHECK(service->default_config_file == "vorn_config.xml");
    CHECK(service->default_config_path == "config/vorn_config.xml");
    // Read by the accessors only; named here to show they stay.
    auto fields =
        std::make_tuple(&VornService::state, &VornService::log_dir, &VornService::time_zone,
                        &VornService::file_limit, &VornService::config, &VornService::config_file,
                        &VornService::loggers, &VornService::targets);
    CHECK(std::get<0>(fields) != nullptr);
    CHECK(service->running_state() == VornService::SERVICE_RUNNING);
    CHECK(service->running_log_dir() == "logs" && service->running_time_zone() == "GMT");
    CHECK(service->running_file_limit() == (64u << 20));
    CHECK(service->running_config_file() == "vorn_config.xml");
    CHECK(service->running_config() != nullptr);

    use_handle();
    use_logger(*service);
    CHECK(service->logger_names() == (std::vector<std::string>{"app", "screen_log"}));
    CHECK(service->target_names() == (std::vector<std::string>{"app_file", "console", "screen"}));
    CHECK(service->create_logger("screen_log", 7) != nullptr);
    CHECK(service->get_target("screen") != nullptr && service->create_std_target() != nullptr);
    CHECK(service->create_file_target("app_file") != nullptr);
    CHECK(service->get_config_value("time_zone") == "GMT");
    service->set_locale("C");
    service->set_locale(std::locale::classic());
    CHECK(service->calculate_file_size("1K") == 1024 && service->set_file_limit() == 0);
    CHECK(service->reload() == 0 && zvk::VornInit::reload() == 0);
    CHECK(zvk::VornInit::flush() == 0);
    CHECK(service->init(nullptr) == VornService::SERVICE_RUNNING);
    CHECK(zvk::VornInit::init() == 0);
    service->stop();
    CHECK(service->running_state() == VornService::SERVICE_STOPPED);
    CHECK(service->init("vorn_config.xml") == VornService::SERVICE_RUNNING);
    VornService::reset_vorn_state();
    zvk::VornInit::reset_vorn_state();
    CHECK(service->running_config() == nullptr && service->logger_names().empty());
    zvk::VornInit facade;
}

}  // namespace

int main() {
    std::ofstream("vorn_config.xml") << config_text;
    use_origin_and_message();
    use_config();
    use_service();
    return failures == 0 ? 0 : 1;
}
