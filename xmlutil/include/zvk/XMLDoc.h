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
    /// Why the last load failed: expat's reason ("mismatched tag") or the
    /// limit the text crossed; empty after a successful load.
    const std::string& error() const;
    /// The line where the last load failed, counted from 1; 0 when the
    /// failure has no place in the text (an unreadable stream, a text over
    /// the size cap).
    std::size_t error_line() const;
    /// The column where the last load failed, counted from 1; 0 as for
    /// error_line().
    std::size_t error_column() const;
    /// Well-formed XML that parses back to the same tree; empty when the
    /// document is empty.
    std::string to_string() const;

private:
    void fail_at(const char* reason, std::size_t line = 0, std::size_t column = 0) noexcept;

    std::unique_ptr<XMLElement> top;
    std::string why;
    std::size_t why_line = 0;
    std::size_t why_column = 0;
};

}  // namespace zvk
