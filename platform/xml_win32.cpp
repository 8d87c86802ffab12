// The XML files on Windows, read with XmlLite from a stream in memory.
//
// Reading keeps what the Linux reader keeps (elements, attributes, text, CDATA, the
// declaration) and drops white-space-only text between elements, as it does.
#include <objidl.h>
#include <shlwapi.h>
#include <windows.h>
#include <xmllite.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <new>
#include <string>
#include <utility>

#include "platform/xml.h"

namespace vesk::xml {
namespace {

// The import library for xmllite.dll is not part of every toolchain, so the entry point
// is looked up once, from the system folder only.
struct XmlLite {
    using CreateFn = HRESULT(WINAPI*)(REFIID, void**, IMalloc*);
    CreateFn createReader = nullptr;
};

template <class F>
F Entry(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const XmlLite& Library() {
    static const XmlLite lib = [] {
        XmlLite l;
        HMODULE m = LoadLibraryExW(L"xmllite.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (m) {
            l.createReader = Entry<XmlLite::CreateFn>(m, "CreateXmlReader");
        }
        return l;
    }();
    return lib;
}

template <class T>
class Com {
public:
    Com() = default;
    Com(const Com&) = delete;
    Com& operator=(const Com&) = delete;
    ~Com() {
        if (m_p)
            m_p->Release();
    }
    T* operator->() const { return m_p; }
    T* get() const { return m_p; }
    T** out() { return &m_p; }
    void** outVoid() { return reinterpret_cast<void**>(&m_p); }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};

void ThrowIfOutOfMemory(HRESULT hr) {
    if (hr == E_OUTOFMEMORY)
        throw std::bad_alloc();
}

std::string Utf8(const wchar_t* s, UINT length) {
    std::string out;
    if (length == 0)
        return out;
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, s, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    out.resize(static_cast<size_t>(n));
    WideCharToMultiByte(CP_UTF8, 0, s, static_cast<int>(length), out.data(), n, nullptr, nullptr);
    return out;
}

std::string HexCode(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

// ---- reading -------------------------------------------------------------------------

bool IsXmlSpace(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

class TreeBuilder {
public:
    TreeBuilder(IXmlReader& reader, const ParseOptions& options, Document& doc)
        : m_reader(reader),
          m_options(options),
          m_doc(doc),
          m_limit(std::min(options.maxDepth, kMaxDepth)) {}

    // S_FALSE at the end of a well-formed document, else the reader's error. Every node
    // takes at least one byte of input, so a reader reporting more nodes than the input
    // has bytes is going round in circles (Wine's does at the end of an unclosed
    // element) and the input counts as malformed.
    HRESULT Run(size_t inputBytes) {
        XmlNodeType type;
        HRESULT hr;
        size_t nodes = 0;
        while ((hr = m_reader.Read(&type)) == S_OK) {
            if (++nodes > inputBytes)
                return kNoProgress;
            // Counted apart from the tree, which stops growing once too deep. Wine's
            // reader closes the elements still open at the end of the input itself, with
            // end nodes placed where the elements began: a real end tag lies after it.
            if (type == XmlNodeType_Element && !m_reader.IsEmptyElement()) {
                m_starts.push_back(Position());
            } else if (type == XmlNodeType_EndElement && !m_starts.empty()) {
                if (Position() <= m_starts.back())
                    return kNoProgress;
                m_starts.pop_back();
            }
            if (m_tooDeep)
                continue;  // read on only to learn whether the rest is well-formed
            hr = Take(type);
            if (FAILED(hr))
                return hr;
        }
        // Wine's reader ends quietly after the last end tag even when the document
        // element was never closed.
        if (hr == S_FALSE && !m_starts.empty())
            return kNoProgress;
        return hr;
    }
    static constexpr HRESULT kNoProgress = static_cast<HRESULT>(0xC00CEE01);  // MX_E_INPUTEND
    bool TooDeep() const { return m_tooDeep; }
    bool HasElement() const { return m_hasElement; }

private:
    std::pair<UINT, UINT> Position() const {
        std::pair<UINT, UINT> at{0, 0};
        m_reader.GetLineNumber(&at.first);
        m_reader.GetLinePosition(&at.second);
        return at;
    }

    std::vector<Node>& Siblings() { return m_open.empty() ? m_doc.nodes : m_open.back()->children; }

    // Text runs end at markup; white space alone between elements is dropped, but not
    // a space written as a character reference.
    void FlushText() {
        const bool blank = std::all_of(m_text.begin(), m_text.end(), IsXmlSpace);
        if ((!blank || m_textNode) && !m_open.empty())
            Siblings().push_back(Node::Text(Utf8(m_text.data(), static_cast<UINT>(m_text.size()))));
        m_text.clear();
        m_textNode = false;
    }

    HRESULT Attributes(Node& node) {
        HRESULT hr = m_reader.MoveToFirstAttribute();
        while (hr == S_OK) {
            const wchar_t* name = nullptr;
            const wchar_t* value = nullptr;
            UINT nameLength = 0;
            UINT valueLength = 0;
            if (FAILED(hr = m_reader.GetQualifiedName(&name, &nameLength)) ||
                FAILED(hr = m_reader.GetValue(&value, &valueLength)))
                return hr;
            node.attributes.push_back({Utf8(name, nameLength), Utf8(value, valueLength)});
            hr = m_reader.MoveToNextAttribute();
        }
        return FAILED(hr) ? hr : m_reader.MoveToElement();
    }

    HRESULT Take(XmlNodeType type) {
        const wchar_t* s = nullptr;
        UINT length = 0;
        HRESULT hr = S_OK;
        switch (type) {
            case XmlNodeType_Text:
            case XmlNodeType_Whitespace:
                if (SUCCEEDED(hr = m_reader.GetValue(&s, &length))) {
                    m_text.append(s, length);
                    m_textNode = m_textNode || type == XmlNodeType_Text;
                }
                return hr;
            case XmlNodeType_Element: {
                FlushText();
                if (m_open.size() + 1 > m_limit) {
                    m_tooDeep = true;
                    return S_OK;
                }
                const bool empty = m_reader.IsEmptyElement();
                if (FAILED(hr = m_reader.GetQualifiedName(&s, &length)))
                    return hr;
                Node& element = Siblings().emplace_back(Node::Element(Utf8(s, length)));
                m_hasElement = true;
                if (FAILED(hr = Attributes(element)))
                    return hr;
                if (!empty)
                    m_open.push_back(&element);  // stays put: only its children grow now
                return S_OK;
            }
            case XmlNodeType_EndElement:
                FlushText();
                if (!m_open.empty())
                    m_open.pop_back();
                return S_OK;
            case XmlNodeType_CDATA: {
                FlushText();
                if (FAILED(hr = m_reader.GetValue(&s, &length)))
                    return hr;
                Node& cdata = Siblings().emplace_back(Node::Text(Utf8(s, length)));
                cdata.kind = Node::Kind::CData;
                return S_OK;
            }
            case XmlNodeType_XmlDeclaration: {
                if (!m_options.keepDeclaration)
                    return S_OK;
                Node& decl = m_doc.nodes.emplace_back();
                decl.kind = Node::Kind::Declaration;
                decl.name = "xml";
                return Attributes(decl);
            }
            default:  // comments and processing instructions split text, as on Linux
                FlushText();
                return S_OK;
        }
    }

    IXmlReader& m_reader;
    const ParseOptions& m_options;
    Document& m_doc;
    const size_t m_limit;
    std::vector<Node*> m_open;
    std::wstring m_text;
    std::vector<std::pair<UINT, UINT>> m_starts;  // line and column of each open element
    bool m_textNode = false;  // the run holds text the reader did not call white space
    bool m_tooDeep = false;
    bool m_hasElement = false;
};

}  // namespace

ParseResult Parse(std::string_view bytes, const ParseOptions& options, Document& doc) {
    doc.nodes.clear();
    const XmlLite& lib = Library();
    if (!lib.createReader)
        return {ParseStatus::Malformed, "xmllite.dll cannot be loaded"};
    if (bytes.size() > UINT_MAX)
        return {ParseStatus::Malformed, "larger than a stream in memory can hold"};
    Com<IStream> stream;
    *stream.out() = SHCreateMemStream(reinterpret_cast<const BYTE*>(bytes.data()),
                                      static_cast<UINT>(bytes.size()));
    if (!stream)
        throw std::bad_alloc();
    Com<IXmlReader> reader;
    HRESULT hr = lib.createReader(__uuidof(IXmlReader), reader.outVoid(), nullptr);
    ThrowIfOutOfMemory(hr);
    if (FAILED(hr))
        return {ParseStatus::Malformed, "no XML reader (" + HexCode(hr) + ")"};
    // Document types stay refused (the default); nesting is limited by the builder, which
    // tells a deep document from a malformed one.
    reader->SetProperty(XmlReaderProperty_MaxElementDepth, 0);
    if (FAILED(hr = reader->SetInput(stream.get())))
        return {ParseStatus::Malformed, "no XML input (" + HexCode(hr) + ")"};

    TreeBuilder builder(*reader.get(), options, doc);
    try {
        hr = builder.Run(bytes.size());
    } catch (...) {
        doc.nodes.clear();
        throw;
    }
    ThrowIfOutOfMemory(hr);
    ParseResult result;
    if (FAILED(hr)) {
        UINT line = 0;
        UINT column = 0;
        reader->GetLineNumber(&line);
        reader->GetLinePosition(&column);
        result = {ParseStatus::Malformed, "XmlLite error " + HexCode(hr) + " at line " +
                                              std::to_string(line) + ", column " +
                                              std::to_string(column)};
    } else if (builder.TooDeep()) {
        result = {ParseStatus::TooDeep, std::string()};
    } else if (!builder.HasElement()) {
        result = {ParseStatus::Malformed, "no document element"};
    }
    if (result.status != ParseStatus::Ok)
        doc.nodes.clear();
    return result;
}

// XmlLite's writer cannot be told to lay a document out as the Linux writer does (and
// Wine's refuses raw text or white space after an end tag), so the layout is our own.
bool Write(const Document& doc, const WriteOptions& options, std::string& out) {
    out = Layout(doc, options);
    return true;
}

}  // namespace vesk::xml
