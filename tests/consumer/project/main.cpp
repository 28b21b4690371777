#include <zvk/Vorn.h>
#include <zvk/XMLDoc.h>

int main() { return zvk::Vorn().version() == "1.0.0" && zvk::XMLDoc().root() == nullptr ? 0 : 1; }
