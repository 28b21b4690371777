#pragma once

#include <cstddef>
#include <fstream>
#include <istream>
#include <memory>
#include <sstream>
#include <string>

#include "zvk/XMLUtilExport.h"

namespace zvk {

class XMLElement;

/// A parsed XML document (expat underneath). Bad input never throws: every
/// `load` answers -1 for malformed XML, an unopened or empty stream, a
/// document type declaration (no DTD or external entity is ever read), a
/// document nested too deeply or one larger than the size cap.
class ZVK_XMLUTIL_API XMLDoc {
public:
    static constexpr std::size_t max_depth = 256;       ///< Elements nested at most.
    static constexpr std::size_t max_size = 64u << 20;  ///< Bytes of XML text.

    /// An empty document.
    XMLDoc();
    virtual ~XMLDoc();
    XMLDoc(const XMLDoc&) = delete;
    XMLDoc& operator=(const XMLDoc&) = delete;

    /// 0 on success, -1 on failure; a failed load leaves the document empty.
    int load(std::ifstream& in);
    /// The same from any stream, read to its end.
    int load(std::istream& in);
    /// The same from a string stream.
    int load(std::istringstream& in);
    /// The same from the XML text itself, not a path.
    int load(const std::string& xml);

    /// Never null after a successful load; null while the document is empty.
    const XMLElement* root() const;
    /// Well-formed XML that parses back to the same tree; empty when the
    /// document is empty.
    std::string to_string() const;

private:
    std::unique_ptr<XMLElement> top;
};

}  // namespace zvk
