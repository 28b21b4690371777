// STUB
#include "zvk/XMLElement.h"

namespace zvk {
XMLElement::XMLElement() = default;
XMLElement::XMLElement(const std::string& name) : name(name) {}
XMLElement::~XMLElement() = default;
std::string_view XMLElement::get_attribute(const std::string&) const { return {}; }
const XMLElement* XMLElement::get_child(const std::string&, const std::string&,
                                        const std::string&) const {
    return nullptr;
}
}  // namespace zvk
