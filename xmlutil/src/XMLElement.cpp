#include "zvk/XMLElement.h"

namespace zvk {

XMLElement::XMLElement() = default;

XMLElement::XMLElement(const std::string& name) : name(name) {}

XMLElement::~XMLElement() = default;

std::string_view XMLElement::get_attribute(const std::string& name) const {
    for (const auto& [key, value] : attributes) {
        if (key == name) {
            return value;
        }
    }
    return {};
}

// A missing attribute reads as the empty text here as in get_attribute, so
// an element without `attribute` matches an empty `value`.
const XMLElement* XMLElement::get_child(const std::string& tag, const std::string& attribute,
                                        const std::string& value) const {
    for (const auto& child : children) {
        if (child->name == tag && child->get_attribute(attribute) == value) {
            return child.get();
        }
    }
    return nullptr;
}

}  // namespace zvk
