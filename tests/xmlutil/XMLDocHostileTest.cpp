#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <streambuf>
#include <string>

#include "TestSupport.h"
#include "zvk/XMLDoc.h"
#include "zvk/XMLElement.h"

namespace {

using zvk::XMLDoc;

std::string nested(std::size_t depth) {
    std::string xml;
    xml.reserve(depth * 8);
    for (std::size_t i = 0; i < depth; ++i) {
        xml += "<e>";
    }
    for (std::size_t i = 0; i < depth; ++i) {
        xml += "</e>";
    }
    return xml;
}

// Serves "<r>" followed by comments without end: a source that never stops.
class EndlessComments : public std::streambuf {
public:
    EndlessComments() : chunk("<r>") {
        chunk.resize(4096, 'x');
        chunk.replace(3, 4, "<!--");
        chunk.replace(chunk.size() - 3, 3, "-->");
        setg(chunk.data(), chunk.data(), chunk.data() + chunk.size());
    }
    std::size_t served = 0;

protected:
    int_type underflow() override {
        served += chunk.size();
        filler = std::string(4096 - 7, 'y');
        filler = "<!--" + filler + "-->";
        setg(filler.data(), filler.data(), filler.data() + filler.size());
        return traits_type::to_int_type(filler[0]);
    }

private:
    std::string chunk;
    std::string filler;
};

// Watches one file for being opened or read.
class OpenWatch {
public:
    explicit OpenWatch(const std::string& path) : fd(inotify_init1(IN_NONBLOCK)) {
        if (fd >= 0) {
            watch = inotify_add_watch(fd, path.c_str(), IN_OPEN | IN_ACCESS);
        }
    }
    ~OpenWatch() {
        if (fd >= 0) {
            close(fd);
        }
    }
    bool usable() const { return fd >= 0 && watch >= 0; }
    bool touched() const {
        alignas(inotify_event) char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        return n > 0;
    }

private:
    int fd;
    int watch = -1;
};

TEST(XMLDocHostile, DepthCapIsExact) {
    XMLDoc doc;
    EXPECT_EQ(doc.load(nested(XMLDoc::max_depth)), 0);
    EXPECT_EQ(doc.load(nested(XMLDoc::max_depth + 1)), -1);
    EXPECT_EQ(doc.root(), nullptr);
}

TEST(XMLDocHostile, DeepNestingFails) {
    std::string xml = nested(100000);
    XMLDoc doc;
    EXPECT_EQ(doc.load(xml), -1);
    std::istringstream in(xml);
    EXPECT_EQ(doc.load(in), -1);
    EXPECT_EQ(doc.root(), nullptr);
}

TEST(XMLDocHostile, UnclosedDeepNestingFails) {
    std::string xml;
    for (int i = 0; i < 100000; ++i) {
        xml += "<e a=\"1\">";
    }
    XMLDoc doc;
    EXPECT_EQ(doc.load(xml), -1);
}

TEST(XMLDocHostile, HugeAttributeValueParsesIntact) {
    std::string value(8u << 20, 'v');
    value[12345] = 'w';
    XMLDoc doc;
    ASSERT_EQ(doc.load("<r big=\"" + value + "\">t</r>"), 0);
    EXPECT_EQ(doc.root()->get_attribute("big"), value);
    EXPECT_EQ(doc.root()->text, "t");
}

TEST(XMLDocHostile, OversizedTextIsRefused) {
    std::string xml = "<r>" + std::string(XMLDoc::max_size, ' ') + "</r>";
    XMLDoc doc;
    EXPECT_EQ(doc.load(xml), -1);
    EXPECT_EQ(doc.root(), nullptr);
}

TEST(XMLDocHostile, EndlessStreamStopsAtSizeCap) {
    EndlessComments source;
    std::istream in(&source);
    XMLDoc doc;
    EXPECT_EQ(doc.load(in), -1);
    EXPECT_EQ(doc.root(), nullptr);
    EXPECT_LE(source.served, XMLDoc::max_size + (1u << 20));
    EXPECT_GE(source.served, XMLDoc::max_size - (1u << 20));
}

TEST(XMLDocHostile, BillionLaughsFails) {
    std::string xml = "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [\n<!ENTITY lol \"lol\">\n";
    xml += "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">\n";
    for (int i = 2; i <= 9; ++i) {
        std::string prev = "&lol" + std::to_string(i - 1) + ";";
        xml += "<!ENTITY lol" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k) {
            xml += prev;
        }
        xml += "\">\n";
    }
    xml += "]>\n<lolz>&lol9;</lolz>\n";
    XMLDoc doc;
    EXPECT_EQ(doc.load(xml), -1);
    EXPECT_EQ(doc.root(), nullptr);
}

TEST(XMLDocHostile, ExternalEntityFileIsNeverRead) {
    zvk::test::TempDir dir;
    const std::string secret = dir.file("secret.txt");
    zvk::test::write_file(secret, "secret");
    const std::string dtd = dir.file("ext.dtd");
    zvk::test::write_file(dtd, "<!ENTITY leak \"secret\">");
    OpenWatch watch_secret(secret);
    OpenWatch watch_dtd(dtd);
    if (!watch_secret.usable() || !watch_dtd.usable()) {
        GTEST_SKIP() << "inotify unavailable: " << errno;
    }
    const std::string docs[] = {
        "<!DOCTYPE r [<!ENTITY xxe SYSTEM \"file://" + secret + "\">]><r>&xxe;</r>",
        "<!DOCTYPE r [<!ENTITY xxe SYSTEM \"" + secret + "\">]><r>&xxe;</r>",
        "<!DOCTYPE r SYSTEM \"" + dtd + "\"><r>&leak;</r>",
        "<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + dtd + "\"> %p;]><r>&leak;</r>",
        "<!DOCTYPE r><r/>",
    };
    for (const auto& xml : docs) {
        XMLDoc doc;
        EXPECT_EQ(doc.load(xml), -1) << xml;
        std::istringstream in(xml);
        EXPECT_EQ(doc.load(in), -1) << xml;
        EXPECT_EQ(doc.root(), nullptr);
    }
    EXPECT_FALSE(watch_secret.touched());
    EXPECT_FALSE(watch_dtd.touched());
    // The watch itself must notice a read, or the checks above prove nothing.
    EXPECT_EQ(zvk::test::read_file(secret), "secret");
    EXPECT_TRUE(watch_secret.touched());
}

TEST(XMLDocHostile, InvalidUtf8Fails) {
    const std::string docs[] = {
        std::string("<r>\xff\xfe</r>"),     std::string("<r a=\"\xc3\"/>"),
        std::string("<r>\xed\xa0\x80</r>"),  // an encoded surrogate
        std::string("<\xc0\xae/>"),         std::string("<r>\x01</r>"),
    };
    for (const auto& xml : docs) {
        XMLDoc doc;
        EXPECT_EQ(doc.load(xml), -1);
        EXPECT_EQ(doc.root(), nullptr);
    }
}

TEST(XMLDocHostile, DeclaredLatin1IsDeliveredAsUtf8) {
    XMLDoc doc;
    ASSERT_EQ(doc.load(std::string("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>\xe9</r>")),
              0);
    EXPECT_EQ(doc.root()->text, "\xc3\xa9");
}

TEST(XMLDocHostile, EmbeddedNulFails) {
    XMLDoc doc;
    EXPECT_EQ(doc.load(std::string("<r>a\0b</r>", 10)), -1);
}

}  // namespace
