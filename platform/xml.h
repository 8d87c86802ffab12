// A small XML document tree and the reading and writing of the library's own XML files
// (the device registry file and the view settings files). Each platform parses and
// writes with the system's XML library; both give the same tree for the files the
// library writes and write the same bytes for the same tree, so a stored file stays
// byte for byte as it was whichever build rewrites it.
//
// Text is UTF-8 throughout. A document keeps elements, their attributes, text, CDATA
// sections and the XML declaration; comments, processing instructions, a document type
// and white space between elements are dropped when read.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::xml {

struct Attribute {
    std::string name;
    std::string value;
    bool operator==(const Attribute&) const = default;
};

struct Node {
    enum class Kind : unsigned char { Element, Text, CData, Declaration };

    Kind kind = Kind::Element;
    std::string name;                   // elements
    std::string value;                  // text and CDATA
    std::vector<Attribute> attributes;  // elements and the declaration, in file order
    std::vector<Node> children;         // elements

    static Node Element(std::string name);
    static Node Text(std::string value);
    // An XML declaration with version "1.0" and encoding "UTF-8".
    static Node Utf8Declaration();

    bool IsElement() const { return kind == Kind::Element; }

    // The first child element with this name, or null.
    const Node* Child(std::string_view childName) const;
    Node* Child(std::string_view childName);
    // The value of the first text or CDATA child; empty when there is none. Text split by
    // a comment is several children: only the first part counts.
    const std::string& ChildValue() const;
    // Gives the first text or CDATA child this value, adding a text child when there is
    // none; other children stay.
    void SetChildValue(std::string text);
    // Appends a child element and returns it.
    Node& AppendElement(std::string childName);

    bool operator==(const Node&) const = default;
};

// A document: its top-level nodes (the declaration, when kept, and the elements).
struct Document {
    std::vector<Node> nodes;

    // The first top-level element with this name, or null.
    const Node* Child(std::string_view name) const;
    Node* Child(std::string_view name);

    bool operator==(const Document&) const = default;
};

// Documents nested deeper than this are refused whatever the caller asks, so that no
// walk over a tree can exhaust the stack.
constexpr size_t kMaxDepth = 256;

struct ParseOptions {
    bool keepDeclaration = false;
    // Element nesting allowed, the top-level element counting as 1.
    size_t maxDepth = kMaxDepth;
};

enum class ParseStatus { Ok, Malformed, TooDeep };

struct ParseResult {
    ParseStatus status = ParseStatus::Ok;
    // For Malformed, what the parser found and where, in its own words.
    std::string problem;
};

// Parses a file's bytes (UTF-8, or any encoding the platform's parser detects from a
// byte-order mark) into doc, replacing what it held. A document that is not well-formed
// is Malformed even when it is also too deep. Without a top-level element it is
// Malformed. On failure doc is empty. Throws std::bad_alloc when memory runs out.
ParseResult Parse(std::string_view bytes, const ParseOptions& options, Document& doc);

struct WriteOptions {
    // "<a />" for an element without children; otherwise "<a></a>".
    bool emptyElementTags = true;
};

// The bytes of doc: UTF-8 without byte-order mark, a tab per level of indentation, one
// element per line (after a text child, the rest of its parent stays on the text's
// line, so an element holding only text is one line), LF line ends, the declaration only if doc has
// one. Text escapes & < > and control characters; attribute values also ". False when the
// platform's writer refuses the tree (a name that is not an XML name). Throws std::bad_alloc when
// memory runs out.
bool Write(const Document& doc, const WriteOptions& options, std::string& out);

// Write's layout and escaping done here rather than by an XML library: the writer where
// the platform's own cannot be told to lay a file out this way, and the reference the
// other writer is checked against.
std::string Layout(const Document& doc, const WriteOptions& options);

}  // namespace vesk::xml
