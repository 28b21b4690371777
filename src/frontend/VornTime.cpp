// STUB: replaced by the time-stamp implementation.
#include "zvk/Vorn.h"

namespace zvk {

std::string Vorn::time_gmt() { return {}; }
std::string Vorn::time_local() { return {}; }
std::string Vorn::http_gmt_time() { return {}; }
std::string Vorn::time_gmt_format() { return {}; }
std::string Vorn::time_local_format() { return {}; }
std::string Vorn::time_gmt_format(const std::string&) { return {}; }
std::string Vorn::time_local_format(const std::string&) { return {}; }

}  // namespace zvk
