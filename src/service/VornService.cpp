// STUB: replaced by the service implementation.
#include "zvk/VornService.h"

namespace zvk {

std::atomic<VornService*> VornService::vornsvc{nullptr};

VornService* VornService::get_service() {
    static VornService instance;
    vornsvc = &instance;
    return &instance;
}
VornService* VornService::init_vorn_service(const std::string&) { return get_service(); }
void VornService::reset_vorn_state() {}
VornService::VornService()
    : default_log_dir("logs"),
      default_file_size(10485760),
      default_config_file("vorn_config.xml"),
      default_config_path("config/vorn_config.xml"),
      state(SERVICE_STOPPED),
      file_limit(10485760),
      config(nullptr) {}
VornService::VornService(const std::string&) : VornService() {}
VornService::~VornService() = default;
int VornService::init(const char*) { return -1; }
Logger* VornService::get_logger(const std::string&, long) { return nullptr; }
Logger* VornService::create_logger(const std::string&, long) { return nullptr; }
Target* VornService::get_target(const std::string&) { return nullptr; }
Target* VornService::create_std_target() { return nullptr; }
Target* VornService::create_file_target(const std::string&) { return nullptr; }
void VornService::stop() {}
const std::string& VornService::get_config_value(const std::string&) {
    static const std::string empty;
    return empty;
}
void VornService::set_locale(const std::string&) {}
void VornService::set_locale(const std::locale&) {}
unsigned long VornService::calculate_file_size(const std::string&) { return default_file_size; }
int VornService::set_file_limit() { return -1; }

}  // namespace zvk
