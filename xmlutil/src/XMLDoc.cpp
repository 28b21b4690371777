#include "zvk/XMLDoc.h"

#include <expat.h>

#include <new>
#include <vector>

#include "zvk/XMLElement.h"

namespace zvk {
namespace {

constexpr std::size_t chunk_size = 64u << 10;

bool is_xml_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void trim(std::string& text) {
    std::size_t end = text.size();
    while (end > 0 && is_xml_space(text[end - 1])) {
        --end;
    }
    std::size_t begin = 0;
    while (begin < end && is_xml_space(text[begin])) {
        ++begin;
    }
    text = text.substr(begin, end - begin);
}

// Builds the element tree from expat's callbacks. No handler lets an
// exception unwind through expat's C frames: a failure is recorded and the
// parser stopped, and the load then reports -1.
class TreeBuilder {
public:
    TreeBuilder() : parser(XML_ParserCreate(nullptr)) {
        if (parser == nullptr) {
            throw std::bad_alloc();
        }
        XML_SetUserData(parser, this);
        XML_SetElementHandler(parser, on_start, on_end);
        XML_SetCharacterDataHandler(parser, on_text);
        // Any document type declaration ends the parse before its internal
        // subset or external identifier is looked at, so no entity can be
        // declared and nothing outside the given text is ever read.
        XML_SetStartDoctypeDeclHandler(parser, on_doctype);
        XML_SetParamEntityParsing(parser, XML_PARAM_ENTITY_PARSING_NEVER);
    }
    ~TreeBuilder() { XML_ParserFree(parser); }
    TreeBuilder(const TreeBuilder&) = delete;
    TreeBuilder& operator=(const TreeBuilder&) = delete;

    // False once the text is not well-formed, too deep or too large; `why`,
    // `line` and `column` then say so.
    bool feed(const char* data, std::size_t size, bool last) {
        if (failed || size > XMLDoc::max_size - fed) {
            return false;
        }
        fed += size;
        if (XML_Parse(parser, data, static_cast<int>(size), last ? XML_TRUE : XML_FALSE) ==
                XML_STATUS_OK &&
            !failed) {
            return true;
        }
        // A handler's own reason stands; expat's would only say "aborted".
        if (!failed) {
            failed = true;
            why = XML_ErrorString(XML_GetErrorCode(parser));
            mark_place();
        }
        return false;
    }

    std::unique_ptr<XMLElement> take_root() {
        if (failed || !open.empty()) {
            return nullptr;
        }
        return std::move(root);
    }

    const char* why = "";
    std::size_t line = 0;
    std::size_t column = 0;

private:
    static void XMLCALL on_start(void* data, const XML_Char* name, const XML_Char** attrs) {
        auto* self = static_cast<TreeBuilder*>(data);
        if (self->failed) {
            return;
        }
        if (self->open.size() >= XMLDoc::max_depth) {
            self->fail("elements nested too deeply");
            return;
        }
        try {
            auto element = std::make_unique<XMLElement>(name);
            element->line = XML_GetCurrentLineNumber(self->parser);
            for (const XML_Char** attr = attrs; attr[0] != nullptr; attr += 2) {
                element->attributes.emplace_back(attr[0], attr[1]);
            }
            XMLElement* raw = element.get();
            self->open.reserve(self->open.size() + 1);
            if (self->open.empty()) {
                self->root = std::move(element);
            } else {
                self->open.back()->children.push_back(std::move(element));
            }
            self->open.push_back(raw);
        } catch (...) {
            self->fail();
        }
    }

    static void XMLCALL on_end(void* data, const XML_Char*) {
        auto* self = static_cast<TreeBuilder*>(data);
        if (self->failed || self->open.empty()) {
            return;
        }
        try {
            trim(self->open.back()->text);
        } catch (...) {
            self->fail();
            return;
        }
        self->open.pop_back();
    }

    static void XMLCALL on_text(void* data, const XML_Char* text, int length) {
        auto* self = static_cast<TreeBuilder*>(data);
        if (self->failed || self->open.empty()) {
            return;
        }
        try {
            self->open.back()->text.append(text, static_cast<std::size_t>(length));
        } catch (...) {
            self->fail();
        }
    }

    static void XMLCALL on_doctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*,
                                   int) {
        static_cast<TreeBuilder*>(data)->fail("document type declaration refused");
    }

    // Within a handler, expat's position is the start of the event.
    void fail(const char* reason = "out of memory") {
        if (!failed) {
            why = reason;
            mark_place();
        }
        failed = true;
        XML_StopParser(parser, XML_FALSE);
    }

    // Expat counts columns from 0; editors count them from 1.
    void mark_place() {
        line = XML_GetCurrentLineNumber(parser);
        column = XML_GetCurrentColumnNumber(parser) + 1;
    }

    XML_Parser parser;  // owned
    std::unique_ptr<XMLElement> root;
    std::vector<XMLElement*> open;  // the root down to the innermost open element
    std::size_t fed = 0;
    bool failed = false;
};

void escape(const std::string& text, bool in_attribute, std::string& out) {
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += in_attribute ? "&quot;" : "\"";
                break;
            // A literal CR would be read back as LF, and white space in an
            // attribute value would be read back as a blank.
            case '\r':
                out += "&#13;";
                break;
            case '\n':
                out += in_attribute ? "&#10;" : "\n";
                break;
            case '\t':
                out += in_attribute ? "&#9;" : "\t";
                break;
            default:
                out += c;
        }
    }
}

// The text goes before the children; the indentation that follows it is
// white space that a re-parse trims off again, since text is stored trimmed.
void render(const XMLElement& element, std::size_t depth, std::string& out) {
    out.append(depth * 2, ' ');
    out += '<';
    out += element.name;
    for (const auto& [key, value] : element.attributes) {
        out += ' ';
        out += key;
        out += "=\"";
        escape(value, true, out);
        out += '"';
    }
    if (element.text.empty() && element.children.empty()) {
        out += "/>\n";
        return;
    }
    out += '>';
    escape(element.text, false, out);
    if (!element.children.empty()) {
        out += '\n';
        for (const auto& child : element.children) {
            render(*child, depth + 1, out);
        }
        out.append(depth * 2, ' ');
    }
    out += "</";
    out += element.name;
    out += ">\n";
}

// Reads with the stream's exception mask cleared, so that the expected end of
// input does not throw, and puts the caller's mask back afterwards.
class QuietStream {
public:
    explicit QuietStream(std::istream& in) : in(in), mask(in.exceptions()) {
        in.exceptions(std::ios::goodbit);
    }
    ~QuietStream() {
        try {
            in.exceptions(mask);
        } catch (const std::ios::failure&) {
            // The mask is back in place; the state it reports is the end of input.
        }
    }
    QuietStream(const QuietStream&) = delete;
    QuietStream& operator=(const QuietStream&) = delete;

private:
    std::istream& in;
    std::ios::iostate mask;
};

}  // namespace

XMLDoc::XMLDoc() = default;

XMLDoc::~XMLDoc() = default;

int XMLDoc::load(std::ifstream& in) {
    if (!in.is_open()) {
        top.reset();
        fail_at("the file is not open");
        return -1;
    }
    return load(static_cast<std::istream&>(in));
}

int XMLDoc::load(std::istream& in) {
    top.reset();
    fail_at("the stream cannot be read");
    try {
        if (!in) {
            return -1;
        }
        QuietStream quiet(in);
        std::string xml;
        std::vector<char> buffer(chunk_size);
        for (;;) {
            in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            if (in.bad()) {
                return -1;
            }
            auto count = static_cast<std::size_t>(in.gcount());
            if (count > max_size - xml.size()) {
                fail_at("larger than 64 MiB");
                return -1;
            }
            xml.append(buffer.data(), count);
            // A short read has set eofbit (and failbit): this was the last chunk.
            if (!in) {
                break;
            }
        }
        return load(xml);
    } catch (...) {
        top.reset();
        fail_at("out of memory");
    }
    return -1;
}

int XMLDoc::load(std::istringstream& in) { return load(static_cast<std::istream&>(in)); }

int XMLDoc::load(const std::string& xml) {
    top.reset();
    if (xml.empty() || xml.size() > max_size) {
        fail_at(xml.empty() ? "the document is empty" : "larger than 64 MiB");
        return -1;
    }
    try {
        // One call for the whole text: fed in pieces, expat scans a token
        // that spans them again for every piece, so one long comment or
        // value would cost time quadratic in its length.
        TreeBuilder builder;
        if (!builder.feed(xml.data(), xml.size(), true)) {
            fail_at(builder.why, builder.line, builder.column);
            return -1;
        }
        top = builder.take_root();
        fail_at(top ? "" : "no element found");
    } catch (...) {
        top.reset();
        fail_at("out of memory");
    }
    return top ? 0 : -1;
}

void XMLDoc::fail_at(const char* reason, std::size_t line, std::size_t column) noexcept {
    // A load answers -1 and never throws: a reason that cannot be stored
    // stays empty.
    try {
        why = reason;
    } catch (...) {
        why.clear();
    }
    why_line = line;
    why_column = column;
}

const XMLElement* XMLDoc::root() const { return top.get(); }

const std::string& XMLDoc::error() const { return why; }

std::size_t XMLDoc::error_line() const { return why_line; }

std::size_t XMLDoc::error_column() const { return why_column; }

std::string XMLDoc::to_string() const {
    std::string out;
    if (top) {
        render(*top, 0, out);
    }
    return out;
}

}  // namespace zvk
