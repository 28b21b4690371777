// Uses nothing of the companion library itself, so that linked with
// --as-needed the program does not name libzvk-xmlutil.so.1: the loader has
// to find it through libzvk-vorn.so.1.
#include <zvk/Vorn.h>

int main() { return zvk::Vorn().version() == "1.0.0" ? 0 : 1; }
