// A program that includes zvk/VornFormat.h, linked as the installed
// package says: through zvk::vorn_format, or pkg-config's zvk-vorn-format.
#include <zvk/VornFormat.h>

int main() {
    zvk::Vorn handle;
    VORN_LOGF(handle, INFO, "order {} filled at {:.2f}", 1000123, 124.25);
    return fmt::format("{:.2f}", 124.25) == "124.25" ? 0 : 1;
}
