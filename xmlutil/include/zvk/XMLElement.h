#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zvk/XMLUtilExport.h"

namespace zvk {

/// One element of a parsed XML document. The document owns the root; each
/// element owns its children, so everything lives as long as the document.
///
/// `text` holds the element's own character data (children's text is not
/// included), with leading and trailing XML white space removed, so that
/// `<log_dir> logs </log_dir>` reads as "logs". For mixed content the
/// character data pieces are concatenated in document order before trimming.
class ZVK_XMLUTIL_API XMLElement {
public:
    /// An element without name, text, children or attributes.
    XMLElement();
    /// An element tagged `name`, still empty.
    explicit XMLElement(const std::string& name);
    virtual ~XMLElement();
    XMLElement(const XMLElement&) = delete;
    XMLElement& operator=(const XMLElement&) = delete;

    /// The value of attribute `name`, or an empty view when the element has
    /// none. The view points into this element; copy it to keep it.
    std::string_view get_attribute(const std::string& name) const;
    /// The first child, in document order, tagged `tag` whose attribute
    /// `attribute` equals `value`; nullptr when none matches. A missing
    /// attribute reads as empty, as in get_attribute.
    const XMLElement* get_child(const std::string& tag, const std::string& attribute,
                                const std::string& value) const;

    std::string name;  ///< The tag.
    std::string text;  ///< The element's own character data, trimmed (see above).
    std::vector<std::unique_ptr<XMLElement>> children;            ///< Document order; owned.
    std::vector<std::pair<std::string, std::string>> attributes;  ///< Document order.
    std::size_t line = 0;  ///< Of its start tag, from 1; 0 for an element not parsed.
};

}  // namespace zvk
