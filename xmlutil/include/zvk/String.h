#pragma once

#include <string_view>

#include "zvk/XMLUtilExport.h"

namespace zvk {

/// Strict text-to-number conversions for configuration values.
class ZVK_XMLUTIL_API String {
public:
    /// An optional sign and decimal digits, nothing else (no blanks, no
    /// trailing characters), within the range of int. On failure `value`
    /// is left unchanged and the result is false.
    static bool str_to_int(std::string_view text, int& value);
};

}  // namespace zvk
