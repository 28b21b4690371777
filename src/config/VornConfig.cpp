// STUB: replaced by the configuration model.
#include "zvk/VornConfig.h"

#include "zvk/XMLDoc.h"

namespace zvk {

VornConfig::VornConfig()
    : key_name("name"),
      key_type("type"),
      key_locale("locale"),
      key_logger("logger"),
      key_target("target"),
      key_logging("logging"),
      key_blank(""),
      key_log_dir("log_dir"),
      key_file("file"),
      key_stdout("stdout"),
      key_network("network"),
      key_file_name("file_name"),
      key_time_zone("time_zone"),
      key_text_alert("text_alert"),
      key_email_alert("email_alert"),
      key_logger_name("logger_name"),
      key_accept_level("accept_level"),
      key_file_size_max("file_size_max"),
      key_max_number_file("max_number_file"),
      xml_doc(nullptr) {}
VornConfig::~VornConfig() { delete xml_doc; }
int VornConfig::load_config(std::ifstream&) { return -1; }
int VornConfig::load_config(std::istream&) { return -1; }
int VornConfig::load_config(std::string&&) { return -1; }
int VornConfig::load_config(std::istringstream&) { return -1; }
int VornConfig::load_config(const std::string&) { return -1; }
void VornConfig::unload_xml_doc() {}
std::locale VornConfig::get_locale() const { return std::locale(); }
int VornConfig::init() { return -1; }
int VornConfig::create_target(const XMLElement*) { return -1; }
int VornConfig::create_target(const std::string&) { return -1; }
int VornConfig::create_logger(const XMLElement*) { return -1; }
VornConfig::target_cf_t* VornConfig::get_target(const std::string&) const { return nullptr; }
VornConfig::logger_cf_t* VornConfig::get_logger(const std::string&) const { return nullptr; }
const std::string& VornConfig::get_element(const std::string&) const { return empty_value; }
const std::string& VornConfig::log_dir() const { return empty_value; }
const std::string& VornConfig::file_size_litmit() const { return empty_value; }
std::string VornConfig::to_string() const { return {}; }

}  // namespace zvk
