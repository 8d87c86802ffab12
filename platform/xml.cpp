// The document tree's own operations, the same on every platform.
#include "platform/xml.h"

#include <utility>

namespace vesk::xml {
namespace {

template <class Nodes>
auto FindElement(Nodes& nodes, std::string_view name) -> decltype(&nodes.front()) {
    for (auto& n : nodes) {
        if (n.kind == Node::Kind::Element && n.name == name)
            return &n;
    }
    return nullptr;
}

bool IsTextKind(Node::Kind kind) {
    return kind == Node::Kind::Text || kind == Node::Kind::CData;
}

// Strings end at a NUL, as they do for an XML library's C strings.
std::string_view Chars(const std::string& s) {
    return std::string_view(s.c_str());
}

// & < > in text; & < " in attribute values; control characters (in text, other than
// tab, CR and LF) as a two-digit decimal reference.
void AppendEscaped(std::string& out, std::string_view text, bool attribute) {
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '&') {
            out += "&amp;";
        } else if (c == '<') {
            out += "&lt;";
        } else if (c == '>' && !attribute) {
            out += "&gt;";
        } else if (c == '"' && attribute) {
            out += "&quot;";
        } else if (u < 32 && (attribute || (c != '\t' && c != '\r' && c != '\n'))) {
            out += "&#";
            out += static_cast<char>('0' + u / 10);
            out += static_cast<char>('0' + u % 10);
            out += ';';
        } else {
            out += c;
        }
    }
}

// "]]>" cannot stand inside one section: it is split after "]]".
void AppendCData(std::string& out, std::string_view text) {
    size_t from = 0;
    for (;;) {
        const size_t end = text.find("]]>", from);
        const size_t cut = end == std::string_view::npos ? text.size() : end + 2;
        out += "<![CDATA[";
        out.append(text, from, cut - from);
        out += "]]>";
        if (end == std::string_view::npos)
            return;
        from = cut;
    }
}

void AppendAttributes(std::string& out, const Node& n) {
    for (const Attribute& a : n.attributes) {
        out += ' ';
        out += Chars(a.name);
        out += "=\"";
        AppendEscaped(out, Chars(a.value), true);
        out += '"';
    }
}

class LayoutWriter {
public:
    LayoutWriter(std::string& out, const WriteOptions& options) : m_out(out), m_options(options) {}

    void Nodes(const std::vector<Node>& nodes) {
        m_flags = kIndent;
        for (const Node& n : nodes)
            Write(n, 0);
        if (m_flags & kNewline)
            m_out += '\n';
    }

private:
    // After text nothing more is laid out until its parent's end tag.
    enum : unsigned { kNewline = 1, kIndent = 2 };

    void Space(size_t depth) {
        if (m_flags & kNewline)
            m_out += '\n';
        if (m_flags & kIndent)
            m_out.append(depth, '\t');
        m_flags = kNewline | kIndent;
    }

    // Recursion is bounded by the depth of a parsed tree, or by the code that built one.
    void Write(const Node& n, size_t depth) {
        switch (n.kind) {
            case Node::Kind::Text:
                AppendEscaped(m_out, Chars(n.value), false);
                m_flags = 0;
                return;
            case Node::Kind::CData:
                AppendCData(m_out, Chars(n.value));
                m_flags = 0;
                return;
            case Node::Kind::Declaration:
                Space(depth);
                m_out += "<?";
                m_out += Chars(n.name);
                AppendAttributes(m_out, n);
                m_out += "?>";
                return;
            case Node::Kind::Element:
                break;
        }
        Space(depth);
        m_out += '<';
        m_out += Chars(n.name);
        AppendAttributes(m_out, n);
        if (n.children.empty()) {
            if (m_options.emptyElementTags) {
                m_out += " />";
            } else {
                m_out += "></";
                m_out += Chars(n.name);
                m_out += '>';
            }
            return;
        }
        m_out += '>';
        for (const Node& child : n.children)
            Write(child, depth + 1);
        Space(depth);
        m_out += "</";
        m_out += Chars(n.name);
        m_out += '>';
    }

    std::string& m_out;
    const WriteOptions& m_options;
    unsigned m_flags = 0;
};

}  // namespace

std::string Layout(const Document& doc, const WriteOptions& options) {
    std::string out;
    LayoutWriter(out, options).Nodes(doc.nodes);
    return out;
}

Node Node::Element(std::string name) {
    Node n;
    n.name = std::move(name);
    return n;
}

Node Node::Text(std::string value) {
    Node n;
    n.kind = Kind::Text;
    n.value = std::move(value);
    return n;
}

Node Node::Utf8Declaration() {
    Node n;
    n.kind = Kind::Declaration;
    n.name = "xml";
    n.attributes = {{"version", "1.0"}, {"encoding", "UTF-8"}};
    return n;
}

const Node* Node::Child(std::string_view childName) const {
    return FindElement(children, childName);
}

Node* Node::Child(std::string_view childName) {
    return FindElement(children, childName);
}

const std::string& Node::ChildValue() const {
    static const std::string empty;
    for (const Node& n : children) {
        if (IsTextKind(n.kind))
            return n.value;
    }
    return empty;
}

void Node::SetChildValue(std::string text) {
    for (Node& n : children) {
        if (IsTextKind(n.kind)) {
            n.value = std::move(text);
            return;
        }
    }
    children.push_back(Text(std::move(text)));
}

Node& Node::AppendElement(std::string childName) {
    children.push_back(Element(std::move(childName)));
    return children.back();
}

const Node* Document::Child(std::string_view name) const {
    return FindElement(nodes, name);
}

Node* Document::Child(std::string_view name) {
    return FindElement(nodes, name);
}

}  // namespace vesk::xml
