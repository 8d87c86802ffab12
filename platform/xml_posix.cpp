// The XML files on Linux, read and written with pugixml.
#include <pugixml.hpp>

#include <algorithm>
#include <new>
#include <string>

#include "platform/xml.h"

namespace vesk::xml {
namespace {

void Check(bool made) {
    if (!made)
        throw std::bad_alloc();
}

// Deepest element nesting under `top`, walking without recursion; stops counting once
// past `limit`.
size_t Depth(const pugi::xml_node& top, size_t limit) {
    class Walker : public pugi::xml_tree_walker {
    public:
        explicit Walker(size_t limit) : m_limit(limit) {}
        bool for_each(pugi::xml_node& node) override {
            if (node.type() == pugi::node_element)
                deepest = std::max(deepest, static_cast<size_t>(depth()) + 1);
            return deepest <= m_limit;
        }
        size_t deepest = 0;

    private:
        size_t m_limit;
    } walker(limit);
    pugi::xml_node start = top;
    start.traverse(walker);
    return walker.deepest;
}

void CopyAttributes(const pugi::xml_node& from, Node& to) {
    for (const pugi::xml_attribute a : from.attributes())
        to.attributes.push_back({a.name(), a.value()});
}

// Recursion is bounded by the depth checked before.
void CopyChildren(const pugi::xml_node& from, std::vector<Node>& to) {
    for (const pugi::xml_node n : from.children()) {
        switch (n.type()) {
            case pugi::node_element: {
                Node& e = to.emplace_back(Node::Element(n.name()));
                CopyAttributes(n, e);
                CopyChildren(n, e.children);
                break;
            }
            case pugi::node_pcdata:
                to.push_back(Node::Text(n.value()));
                break;
            case pugi::node_cdata: {
                Node& c = to.emplace_back(Node::Text(n.value()));
                c.kind = Node::Kind::CData;
                break;
            }
            case pugi::node_declaration: {
                Node& d = to.emplace_back();
                d.kind = Node::Kind::Declaration;
                d.name = n.name();
                CopyAttributes(n, d);
                break;
            }
            default:  // not kept by the parse flags used
                break;
        }
    }
}

void AppendAttributes(const Node& from, pugi::xml_node to) {
    for (const Attribute& a : from.attributes) {
        pugi::xml_attribute made = to.append_attribute(a.name.c_str());
        Check(!made.empty() && made.set_value(a.value.c_str()));
    }
}

void AppendChildren(const std::vector<Node>& from, pugi::xml_node to) {
    for (const Node& n : from) {
        pugi::xml_node made;
        switch (n.kind) {
            case Node::Kind::Element:
                made = to.append_child(n.name.c_str());
                Check(!made.empty());
                AppendAttributes(n, made);
                AppendChildren(n.children, made);
                break;
            case Node::Kind::Text:
            case Node::Kind::CData:
                made = to.append_child(n.kind == Node::Kind::Text ? pugi::node_pcdata
                                                                  : pugi::node_cdata);
                Check(!made.empty() && made.set_value(n.value.c_str()));
                break;
            case Node::Kind::Declaration:
                made = to.append_child(pugi::node_declaration);
                Check(!made.empty());
                AppendAttributes(n, made);
                break;
        }
    }
}

class StringWriter : public pugi::xml_writer {
public:
    explicit StringWriter(std::string& out) : m_out(out) {}
    void write(const void* data, size_t size) override {
        m_out.append(static_cast<const char*>(data), size);
    }

private:
    std::string& m_out;
};

}  // namespace

ParseResult Parse(std::string_view bytes, const ParseOptions& options, Document& doc) {
    doc.nodes.clear();
    pugi::xml_document parsed;
    unsigned flags = pugi::parse_default;
    if (options.keepDeclaration)
        flags |= pugi::parse_declaration;
    const pugi::xml_parse_result result = parsed.load_buffer(bytes.data(), bytes.size(), flags);
    if (!result) {
        if (result.status == pugi::status_out_of_memory)
            throw std::bad_alloc();
        return {ParseStatus::Malformed,
                std::string(result.description()) + " at byte " + std::to_string(result.offset)};
    }
    const size_t limit = std::min(options.maxDepth, kMaxDepth);
    if (Depth(parsed, limit) > limit)
        return {ParseStatus::TooDeep, std::string()};
    try {
        CopyChildren(parsed, doc.nodes);
    } catch (...) {
        doc.nodes.clear();
        throw;
    }
    return {};
}

bool Write(const Document& doc, const WriteOptions& options, std::string& out) {
    out.clear();
    pugi::xml_document tree;
    AppendChildren(doc.nodes, tree);
    unsigned flags = pugi::format_indent | pugi::format_no_declaration;
    if (!options.emptyElementTags)
        flags |= pugi::format_no_empty_element_tags;
    StringWriter writer(out);
    tree.save(writer, "\t", flags, pugi::encoding_utf8);
    return true;
}

}  // namespace vesk::xml
