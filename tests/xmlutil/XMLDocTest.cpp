#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "TestSupport.h"
#include "zvk/XMLDoc.h"
#include "zvk/XMLElement.h"

namespace {

using zvk::XMLDoc;
using zvk::XMLElement;

const char* const sample = R"(<?xml version="1.0" encoding="UTF-8"?>
<!-- configuration -->
<config version="2">
    <level>WARN</level>
    <log_dir> logs </log_dir>
    <target name="a" kind="x"><type>file</type></target>
    <target name="b"/>
    <target name="a" kind="second"/>
    <mixed>one <b>inner</b> two<![CDATA[ <three> ]]></mixed>
    <entities>&amp;&lt;&gt;&quot;&apos;&#65;&#x42;</entities>
    <lines>
        first
        second
    </lines>
</config>
)";

void expect_same_tree(const XMLElement& a, const XMLElement& b) {
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.text, b.text) << "in <" << a.name << ">";
    EXPECT_EQ(a.attributes, b.attributes) << "in <" << a.name << ">";
    ASSERT_EQ(a.children.size(), b.children.size()) << "in <" << a.name << ">";
    for (std::size_t i = 0; i < a.children.size(); ++i) {
        expect_same_tree(*a.children[i], *b.children[i]);
    }
}

TEST(XMLDocParse, BuildsTreeInDocumentOrder) {
    XMLDoc doc;
    ASSERT_EQ(doc.load(std::string(sample)), 0);
    const XMLElement* root = doc.root();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->name, "config");
    EXPECT_EQ(root->get_attribute("version"), "2");
    EXPECT_EQ(root->text, "");
    ASSERT_EQ(root->children.size(), 8u);
    const char* names[] = {"level",  "log_dir", "target",   "target",
                           "target", "mixed",   "entities", "lines"};
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(root->children[i]->name, names[i]);
    }
    const XMLElement& first = *root->children[2];
    ASSERT_EQ(first.attributes.size(), 2u);
    EXPECT_EQ(first.attributes[0].first, "name");
    EXPECT_EQ(first.attributes[1].first, "kind");
    ASSERT_EQ(first.children.size(), 1u);
    EXPECT_EQ(first.children[0]->name, "type");
    EXPECT_TRUE(first.children[0]->children.empty());
}

TEST(XMLDocParse, TextIsOwnCharacterDataTrimmed) {
    XMLDoc doc;
    ASSERT_EQ(doc.load(std::string(sample)), 0);
    const auto& c = doc.root()->children;
    EXPECT_EQ(c[0]->text, "WARN");
    EXPECT_EQ(c[1]->text, "logs");
    EXPECT_EQ(c[5]->text, "one  two <three>");
    EXPECT_EQ(c[5]->children[0]->text, "inner");
    EXPECT_EQ(c[6]->text, "&<>\"'AB");
    EXPECT_EQ(c[7]->text, "first\n        second");
}

TEST(XMLDocParse, LineEndsAreNormalised) {
    XMLDoc doc;
    ASSERT_EQ(doc.load(std::string("<r>a\r\nb\rc&#13;d</r>")), 0);
    EXPECT_EQ(doc.root()->text, "a\nb\nc\rd");
}

TEST(XMLDocParse, AllOverloadsGiveTheSameTree) {
    zvk::test::TempDir dir;
    zvk::test::write_file(dir.file("c.xml"), sample);
    XMLDoc from_string;
    ASSERT_EQ(from_string.load(std::string(sample)), 0);

    XMLDoc from_file;
    std::ifstream file(dir.file("c.xml"));
    ASSERT_EQ(from_file.load(file), 0);
    expect_same_tree(*from_string.root(), *from_file.root());

    XMLDoc from_istringstream;
    std::istringstream sstream(sample);
    ASSERT_EQ(from_istringstream.load(sstream), 0);
    expect_same_tree(*from_string.root(), *from_istringstream.root());

    XMLDoc from_istream;
    std::stringstream plain(sample);
    ASSERT_EQ(from_istream.load(static_cast<std::istream&>(plain)), 0);
    expect_same_tree(*from_string.root(), *from_istream.root());
}

TEST(XMLDocParse, StreamLongerThanOneChunk) {
    std::string xml = "<r>";
    for (int i = 0; i < 20000; ++i) {
        xml += "<e n=\"" + std::to_string(i) + "\">v" + std::to_string(i) + "</e>";
    }
    xml += "</r>";
    ASSERT_GT(xml.size(), 3u * 65536u);
    std::istringstream in(xml);
    XMLDoc doc;
    ASSERT_EQ(doc.load(in), 0);
    ASSERT_EQ(doc.root()->children.size(), 20000u);
    EXPECT_EQ(doc.root()->children[19999]->text, "v19999");
    EXPECT_EQ(doc.root()->children[12345]->get_attribute("n"), "12345");
}

TEST(XMLDocParse, ReloadReplacesTheTree) {
    XMLDoc doc;
    ASSERT_EQ(doc.load(std::string("<first/>")), 0);
    ASSERT_EQ(doc.load(std::string("<second/>")), 0);
    EXPECT_EQ(doc.root()->name, "second");
}

TEST(XMLDocFailure, MalformedTextGivesMinusOne) {
    const char* bad[] = {"<r>",
                         "<r></s>",
                         "<r/><s/>",
                         "just text",
                         "<r a='1' a='2'/>",
                         "<r>&undefined;</r>",
                         "<r><</r>",
                         "<r>x</r> trailing",
                         "   ",
                         "<?xml version=\"1.0\"?>",
                         "<r attr=unquoted/>"};
    for (const char* text : bad) {
        XMLDoc doc;
        EXPECT_EQ(doc.load(std::string(text)), -1) << text;
        EXPECT_EQ(doc.root(), nullptr) << text;
        std::istringstream in(text);
        EXPECT_EQ(doc.load(in), -1) << text;
        EXPECT_EQ(doc.root(), nullptr) << text;
    }
}

TEST(XMLDocFailure, EmptyOrUnusableStreams) {
    XMLDoc doc;
    EXPECT_EQ(doc.load(std::string()), -1);
    std::istringstream empty;
    EXPECT_EQ(doc.load(empty), -1);

    std::ifstream unopened;
    EXPECT_EQ(doc.load(unopened), -1);
    std::ifstream missing("/nonexistent/zvk/config.xml");
    EXPECT_EQ(doc.load(missing), -1);
    EXPECT_EQ(doc.load(static_cast<std::istream&>(missing)), -1);

    std::istringstream failed("<r/>");
    failed.setstate(std::ios::failbit);
    EXPECT_EQ(doc.load(failed), -1);
    EXPECT_EQ(doc.root(), nullptr);
}

// Expat's reason and place (line and column from 1), or the limit crossed;
// a later successful load clears them.
TEST(XMLDocFailure, SaysWhyAndWhere) {
    struct Case {
        std::string xml;
        const char* why;
        std::size_t line;
        std::size_t column;
    };
    std::string deep;
    for (int i = 0; i < 300; ++i) {
        deep += "<d>";
    }
    const Case cases[] = {
        {"<v>\n  <a>\n  </b>\n</v>", "mismatched tag", 3, 5},
        {"<v>\n<a x='1' x='2'/>\n</v>", "duplicate attribute", 2, 10},
        {"<v>\n  <a>\n", "no element found", 3, 1},
        {"<?xml version=\"1.0\"?>\n<!DOCTYPE v>\n<v/>", "document type declaration refused", 2, 12},
        {deep, "elements nested too deeply", 1, 3 * XMLDoc::max_depth + 1},
        {"", "the document is empty", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.xml.substr(0, 40));
        XMLDoc doc;
        EXPECT_EQ(doc.load(c.xml), -1);
        EXPECT_EQ(doc.error(), c.why);
        EXPECT_EQ(doc.error_line(), c.line);
        EXPECT_EQ(doc.error_column(), c.column);
    }
    XMLDoc doc;
    ASSERT_EQ(doc.load(std::string("<v>\n  <a>\n")), -1);
    ASSERT_EQ(doc.load(std::string("<v/>")), 0);
    EXPECT_EQ(doc.error(), "");
    EXPECT_EQ(doc.error_line(), 0u);
}

TEST(XMLDocParse, ElementsKnowTheLineOfTheirStartTag) {
    XMLDoc doc;
    ASSERT_EQ(doc.load(std::string(sample)), 0);
    const XMLElement& root = *doc.root();
    EXPECT_EQ(root.line, 3u);
    EXPECT_EQ(root.children.at(0)->line, 4u);
    EXPECT_EQ(root.children.at(2)->line, 6u);
    EXPECT_EQ(root.children.at(2)->children.at(0)->line, 6u);
    EXPECT_EQ(root.children.at(7)->line, 11u);
}

TEST(XMLDocFailure, FailedLoadEmptiesADocument) {
    XMLDoc doc;
    ASSERT_EQ(doc.load(std::string("<r/>")), 0);
    EXPECT_EQ(doc.load(std::string("<r>")), -1);
    EXPECT_EQ(doc.root(), nullptr);
    EXPECT_EQ(doc.to_string(), "");
}

TEST(XMLDocParse, StreamWithExceptionMaskLoadsWithoutThrowing) {
    const auto mask = std::ios::failbit | std::ios::badbit | std::ios::eofbit;
    std::istringstream in("<r>x</r>");
    in.exceptions(mask);
    XMLDoc doc;
    int result = -1;
    EXPECT_NO_THROW(result = doc.load(in));
    EXPECT_EQ(result, 0);
    ASSERT_NE(doc.root(), nullptr);
    EXPECT_EQ(doc.root()->text, "x");
    EXPECT_EQ(in.exceptions(), mask);

    std::istringstream bad("<r>");
    bad.exceptions(mask);
    EXPECT_NO_THROW(result = doc.load(bad));
    EXPECT_EQ(result, -1);
}

TEST(XMLDocToString, EmptyDocumentGivesEmptyText) {
    XMLDoc doc;
    EXPECT_EQ(doc.to_string(), "");
}

TEST(XMLDocToString, ReparsesToTheSameTree) {
    XMLDoc doc;
    ASSERT_EQ(doc.load(std::string(sample)), 0);
    XMLDoc again;
    ASSERT_EQ(again.load(doc.to_string()), 0) << doc.to_string();
    expect_same_tree(*doc.root(), *again.root());
    EXPECT_EQ(again.to_string(), doc.to_string());
}

TEST(XMLDocToString, EscapesMarkupAndWhiteSpace) {
    const std::string xml =
        "<r a=\"&amp;&lt;&gt;&quot;'\" b=\"x&#9;y&#10;z&#13;w\" c=\"  two  blanks \">"
        "t &amp; &lt;tag&gt; ]]&gt; \"q\"&#13;x<k>&lt;/k&gt;</k></r>";
    XMLDoc doc;
    ASSERT_EQ(doc.load(xml), 0);
    EXPECT_EQ(doc.root()->get_attribute("a"), "&<>\"'");
    EXPECT_EQ(doc.root()->get_attribute("b"), "x\ty\nz\rw");
    EXPECT_EQ(doc.root()->get_attribute("c"), "  two  blanks ");
    EXPECT_EQ(doc.root()->text, "t & <tag> ]]> \"q\"\rx");
    std::string text = doc.to_string();
    EXPECT_EQ(text.find("<tag>"), std::string::npos) << text;
    XMLDoc again;
    ASSERT_EQ(again.load(text), 0) << text;
    expect_same_tree(*doc.root(), *again.root());
}

TEST(XMLDocToString, KeepsNonAsciiText) {
    XMLDoc doc;
    ASSERT_EQ(doc.load(std::string("<r n=\"\xc3\xa9\">\xe2\x82\xac</r>")), 0);
    XMLDoc again;
    ASSERT_EQ(again.load(doc.to_string()), 0);
    EXPECT_EQ(again.root()->text, "\xe2\x82\xac");
    EXPECT_EQ(again.root()->get_attribute("n"), "\xc3\xa9");
}

TEST(XMLElementLookup, MissingAttributeIsEmpty) {
    XMLDoc doc;
    ASSERT_EQ(doc.load(std::string("<r a=\"1\"/>")), 0);
    EXPECT_EQ(doc.root()->get_attribute("a"), "1");
    EXPECT_TRUE(doc.root()->get_attribute("b").empty());
    EXPECT_TRUE(doc.root()->get_attribute("A").empty());
}

TEST(XMLElementLookup, GetChildFirstMatchInDocumentOrder) {
    XMLDoc doc;
    ASSERT_EQ(doc.load(std::string(sample)), 0);
    const XMLElement* root = doc.root();
    const XMLElement* a = root->get_child("target", "name", "a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->get_attribute("kind"), "x");
    EXPECT_EQ(a, root->children[2].get());
    EXPECT_EQ(root->get_child("target", "name", "b"), root->children[3].get());
    EXPECT_EQ(root->get_child("target", "name", "c"), nullptr);
    EXPECT_EQ(root->get_child("Target", "name", "a"), nullptr);
    EXPECT_EQ(root->get_child("target", "Name", "a"), nullptr);
    EXPECT_EQ(root->get_child("type", "name", ""), nullptr) << "grandchildren are not searched";
}

TEST(XMLElementLookup, MissingAttributeMatchesEmptyValue) {
    XMLDoc doc;
    ASSERT_EQ(doc.load(std::string("<r><t name=\"x\"/><t/></r>")), 0);
    EXPECT_EQ(doc.root()->get_child("t", "name", ""), doc.root()->children[1].get());
}

}  // namespace
