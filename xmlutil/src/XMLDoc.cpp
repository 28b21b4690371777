// STUB
#include "zvk/XMLDoc.h"

#include "zvk/XMLElement.h"

namespace zvk {
XMLDoc::XMLDoc() = default;
XMLDoc::~XMLDoc() = default;
int XMLDoc::load(std::ifstream&) { return -1; }
int XMLDoc::load(std::istream&) { return -1; }
int XMLDoc::load(std::istringstream&) { return -1; }
int XMLDoc::load(const std::string&) { return -1; }
const XMLElement* XMLDoc::root() const { return top.get(); }
std::string XMLDoc::to_string() const { return {}; }
}  // namespace zvk
