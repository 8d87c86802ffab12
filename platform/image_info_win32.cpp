// Header readers on the Windows Imaging Component: the JPEG or TIFF decoder of the
// system reads our source through a read-only stream, gives the first frame's size
// without decoding pixels, and the TIFF resolution tags through the frame's metadata
// query reader (the decoder's own resolution says 96 dpi for a file without one, which
// is not what the file says).
#include <windows.h>
// (after windows.h)
#include <objidl.h>
#include <propidl.h>
#include <wincodec.h>

#include <climits>
#include <cstdint>

#include "platform/image_info.h"

namespace vesk::image {

namespace {

// A COM interface pointer released on every path.
template <class T>
class Com {
public:
    Com() = default;
    ~Com() {
        if (m_p)
            m_p->Release();
    }
    Com(const Com&) = delete;
    Com& operator=(const Com&) = delete;
    T* operator->() const { return m_p; }
    T* get() const { return m_p; }
    T** out() { return &m_p; }

private:
    T* m_p = nullptr;
};

// COM on this thread for the length of one read, unless the caller already chose a
// model (then the caller's stays, and WIC works in either).
class ComScope {
public:
    ComScope() : m_started(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
    ~ComScope() {
        if (m_started)
            CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    bool m_started;
};

// Our source as a read-only stream, so a file is read at exactly its path (and memory
// without a copy) and only the header bytes the decoder asks for are read. COM
// interfaces have no virtual destructor: the object deletes itself on its last Release.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class SourceStream final : public IStream {
public:
    explicit SourceStream(ISource& source) : m_source(source) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ISequentialStream) ||
            IsEqualIID(iid, IID_IStream)) {
            *out = static_cast<IStream*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&m_refs); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = InterlockedDecrement(&m_refs);
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }

    HRESULT STDMETHODCALLTYPE Read(void* out, ULONG n, ULONG* got) override {
        if (!out)
            return STG_E_INVALIDPOINTER;
        const auto read = static_cast<ULONG>(m_source.Read(out, n));
        if (got)
            *got = read;
        return read == n ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override {
        return STG_E_ACCESSDENIED;
    }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                   ULARGE_INTEGER* position) override {
        const uint64_t base = origin == STREAM_SEEK_CUR   ? m_source.Tell()
                              : origin == STREAM_SEEK_END ? m_source.Size()
                                                          : 0;
        if (origin > STREAM_SEEK_END)
            return STG_E_INVALIDFUNCTION;
        const int64_t delta = move.QuadPart;
        const uint64_t magnitude =
            delta < 0 ? 0 - static_cast<uint64_t>(delta) : static_cast<uint64_t>(delta);
        if (delta < 0 ? magnitude > base : magnitude > UINT64_MAX - base)
            return STG_E_INVALIDFUNCTION;
        const uint64_t target = delta < 0 ? base - magnitude : base + magnitude;
        // Beyond the end there is nothing to read: the decoder finds the file truncated.
        if (!m_source.Seek(target))
            return STG_E_INVALIDFUNCTION;
        if (position)
            position->QuadPart = target;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return STG_E_ACCESSDENIED; }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                     ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return STG_E_INVALIDFUNCTION;
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return STG_E_INVALIDFUNCTION;
    }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD) override {
        if (!stat)
            return STG_E_INVALIDPOINTER;
        *stat = STATSTG{};
        stat->type = STGTY_STREAM;
        stat->cbSize.QuadPart = m_source.Size();
        stat->grfMode = STGM_READ;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }

private:
    ~SourceStream() = default;
    LONG m_refs = 1;
    ISource& m_source;
};
#pragma GCC diagnostic pop

bool FitsInt(UINT v) {
    return v > 0 && v <= static_cast<UINT>(INT_MAX);
}

// The first frame of source decoded as container (JPEG or TIFF), and its size.
bool OpenFrame(ISource& source, const GUID& container, Com<IWICBitmapFrameDecode>& frame,
               UINT& width, UINT& height) {
    Com<IWICImagingFactory> factory;
    Com<IWICBitmapDecoder> decoder;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, reinterpret_cast<void**>(factory.out()))) ||
        FAILED(factory->CreateDecoder(container, nullptr, decoder.out())))
        return false;
    auto* stream = new SourceStream(source);
    const HRESULT initialised = decoder->Initialize(stream, WICDecodeMetadataCacheOnDemand);
    stream->Release();  // the decoder holds its own reference while it needs one
    UINT frames = 0;
    return SUCCEEDED(initialised) && SUCCEEDED(decoder->GetFrameCount(&frames)) && frames > 0 &&
           SUCCEEDED(decoder->GetFrame(0, frame.out())) &&
           SUCCEEDED(frame->GetSize(&width, &height)) && FitsInt(width) && FitsInt(height);
}

// A metadata value by its query path; empty when absent.
class Property {
public:
    Property(IWICMetadataQueryReader* reader, const wchar_t* path) {
        PropVariantInit(&m_value);
        if (!reader || FAILED(reader->GetMetadataByName(path, &m_value)))
            PropVariantClear(&m_value);
    }
    ~Property() { PropVariantClear(&m_value); }
    Property(const Property&) = delete;
    Property& operator=(const Property&) = delete;

    // A TIFF rational: numerator in the low half, denominator in the high half.
    double Rational() const {
        if (m_value.vt != VT_UI8 || m_value.uhVal.HighPart == 0)
            return 0;
        return double(m_value.uhVal.LowPart) / double(m_value.uhVal.HighPart);
    }
    unsigned Short(unsigned otherwise) const {
        return m_value.vt == VT_UI2 ? m_value.uiVal : otherwise;
    }

private:
    PROPVARIANT m_value;
};

}  // namespace

bool ReadJpegInfo(ISource& source, ImageInfo& info) {
    if (!LooksLikeJpeg(source))
        return false;
    ComScope com;
    Com<IWICBitmapFrameDecode> frame;
    UINT width = 0;
    UINT height = 0;
    if (!OpenFrame(source, GUID_ContainerFormatJpeg, frame, width, height))
        return false;
    info = ImageInfo{static_cast<int>(width), static_cast<int>(height), 0, 0};
    return true;
}

bool ReadTiffInfo(ISource& source, ImageInfo& info) {
    if (!LooksLikeTiff(source))
        return false;
    ComScope com;
    Com<IWICBitmapFrameDecode> frame;
    UINT width = 0;
    UINT height = 0;
    if (!OpenFrame(source, GUID_ContainerFormatTiff, frame, width, height))
        return false;
    // Without a metadata reader the file says nothing about its resolution.
    Com<IWICMetadataQueryReader> reader;
    frame->GetMetadataQueryReader(reader.out());
    constexpr unsigned kInch = 2;
    constexpr unsigned kCentimetre = 3;
    const Property xRes(reader.get(), L"/ifd/{ushort=282}");
    const Property yRes(reader.get(), L"/ifd/{ushort=283}");
    const bool perCentimetre =
        Property(reader.get(), L"/ifd/{ushort=296}").Short(kInch) == kCentimetre;
    info = ImageInfo{static_cast<int>(width), static_cast<int>(height),
                     ResolutionDpi(xRes.Rational(), perCentimetre),
                     ResolutionDpi(yRes.Rational(), perCentimetre)};
    return true;
}

}  // namespace vesk::image
