// The XML tree of the platform layer: what a file reads as, and the bytes a tree is
// written as. The same cases run against each platform's parser.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/xml.h"

namespace {

using vesk::xml::Document;
using vesk::xml::Node;
using vesk::xml::ParseStatus;

Node E(std::string name, std::vector<Node> children = {}) {
    Node n = Node::Element(std::move(name));
    n.children = std::move(children);
    return n;
}

Node T(std::string text) {
    return Node::Text(std::move(text));
}

Node C(std::string text) {
    Node n = Node::Text(std::move(text));
    n.kind = Node::Kind::CData;
    return n;
}

Document Parsed(const std::string& bytes, bool keepDeclaration = true) {
    Document doc;
    vesk::xml::ParseOptions options;
    options.keepDeclaration = keepDeclaration;
    const vesk::xml::ParseResult r = vesk::xml::Parse(bytes, options, doc);
    EXPECT_EQ(r.status, ParseStatus::Ok) << bytes << ": " << r.problem;
    return doc;
}

TEST(Xml, ReadsElementsTextAndCDataAsTheFilesHoldThem) {
    const struct {
        const char* xml;
        std::vector<Node> nodes;
    } cases[] = {
        // White space between elements goes; references are decoded; line ends become LF.
        {"<L>\r\n\t<M>\r\n\t\t<N>a &amp; &lt;b&gt; &#x20AC;&#32;</N>\r\n\t</M>\r\n</L>\r\n",
         {E("L", {E("M", {E("N", {T("a & <b> \u20ac ")})})})}},
        {"<L><N>one\r\ntwo\rthree</N><S> </S><P/></L>",
         {E("L", {E("N", {T("one\ntwo\nthree")}), E("S"), E("P")})}},
        // A comment or processing instruction splits text; CDATA stays CDATA.
        {"<L><N>a<!-- c -->b<?pi x?></N><C><![CDATA[x<y]]]]><![CDATA[>z]]></C></L>",
         {E("L", {E("N", {T("a"), T("b")}), E("C", {C("x<y]]"), C(">z")})})}},
        // Mixed content keeps its order; non-ASCII text is UTF-8.
        {"<L>t<M>\u00e9\U0001D11E</M>u</L>",
         {E("L", {T("t"), E("M", {T("\u00e9\U0001D11E")}), T("u")})}},
        // A byte-order mark is not text.
        {"\xEF\xBB\xBF<L/>", {E("L")}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Parsed(c.xml).nodes, c.nodes) << c.xml;

    // The declaration, with its attributes as written, only when asked for.
    Node decl = Node::Utf8Declaration();
    decl.attributes[1].value = "utf-8";
    decl.attributes.push_back({"standalone", "yes"});
    const std::string withDecl =
        "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?><L a=\"1&amp;\"/>";
    Node list = E("L");
    list.attributes = {{"a", "1&"}};
    EXPECT_EQ(Parsed(withDecl).nodes, (std::vector<Node>{decl, list}));
    EXPECT_EQ(Parsed(withDecl, false).nodes, std::vector<Node>{list});
}

TEST(Xml, MalformedBeatsTooDeepAndLeavesNothing) {
    const struct {
        std::string xml;
        size_t maxDepth;
        ParseStatus status;
    } cases[] = {
        {"", 3, ParseStatus::Malformed},
        {"no markup", 3, ParseStatus::Malformed},
        {"<L><M>", 3, ParseStatus::Malformed},
        {"<L><M><N>x</N>", 3, ParseStatus::Malformed},
        {"<L></M>", 3, ParseStatus::Malformed},
        {"<L><M><N>x</N></M></L>", 3, ParseStatus::Ok},
        {"<L><M><N><O/></N></M></L>", 3, ParseStatus::TooDeep},
        {"<L><M><N><O/></N></M></X>", 3, ParseStatus::Malformed},
        // However much a caller allows, the tree stays shallow enough to walk.
        {std::string(300, '<') + "", 1000, ParseStatus::Malformed},
        {[] {
             std::string s;
             for (int i = 0; i < 300; ++i)
                 s += "<a>";
             for (int i = 0; i < 300; ++i)
                 s += "</a>";
             return s;
         }(),
         1000, ParseStatus::TooDeep},
    };
    for (const auto& c : cases) {
        Document doc{{E("stale")}};
        vesk::xml::ParseOptions options;
        options.maxDepth = c.maxDepth;
        const vesk::xml::ParseResult r = vesk::xml::Parse(c.xml, options, doc);
        EXPECT_EQ(r.status, c.status) << c.xml.substr(0, 40) << ": " << r.problem;
        if (r.status != ParseStatus::Ok) {
            EXPECT_TRUE(doc.nodes.empty()) << c.xml.substr(0, 40);
        }
    }
}

// Each platform writes what the library writer on Linux writes; the layout of our own
// (the Windows writer) is checked against it here, on trees from hand-made files.
TEST(Xml, WritesTheLinuxLayoutByteForByte) {
    const std::string files[] = {
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><L><M><N>a &amp; &lt;b&gt; \"q\" 's'</N>"
        "<E/><F></F></M></L>",
        "<L>t<M>x<N>y</N>z</M>u<P/><Q><R/></Q></L>",
        "<L a=\"&lt;&gt;&amp;&quot;'\"><M>\u00e9\U0001D11E</M></L>",
        "<L><C><![CDATA[a]]]]><![CDATA[>b]]></C><D><![CDATA[]]></D><E>a<!---->b</E></L>",
        "<?xml version=\"1.0\"?><L/>",
    };
    for (const std::string& xml : files) {
        const Document doc = Parsed(xml);
        for (bool emptyTags : {true, false}) {
            std::string written;
            ASSERT_TRUE(vesk::xml::Write(doc, {emptyTags}, written));
            EXPECT_EQ(vesk::xml::Layout(doc, {emptyTags}), written) << xml;
        }
    }

    // And what that layout is, for a tree made in code with characters no parser gives.
    Document made{
        {Node::Utf8Declaration(), E("L", {E("M", {E("N", {T("a&b<c>\x01\t\r")}), E("O")})})}};
    made.nodes[1].attributes = {{"a", "<>&\"'\t\n\r\x1f"}};
    std::string written;
    ASSERT_TRUE(vesk::xml::Write(made, {false}, written));
    EXPECT_EQ(written,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<L a=\"&lt;>&amp;&quot;'&#09;&#10;&#13;&#31;\">\n\t<M>\n"
              "\t\t<N>a&amp;b&lt;c&gt;&#01;\t\r</N>\n\t\t<O></O>\n\t</M>\n</L>\n");
    EXPECT_EQ(vesk::xml::Layout(made, {false}), written);
}

}  // namespace
