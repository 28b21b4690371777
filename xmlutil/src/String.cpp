// STUB
#include "zvk/String.h"

namespace zvk {
bool String::str_to_int(std::string_view, int&) { return false; }
}  // namespace zvk
