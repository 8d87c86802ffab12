// The real link on Windows: a non-blocking Winsock socket, with Schannel on top for TLS.
// Every wait is a select() of at most 50 ms, so deadlines and the cancel check are
// always honoured, as on POSIX. The framing above the transport is FramedLink's.
// Order matters: winsock2.h before windows.h, the security headers after both.
#include <winsock2.h>

#include <windows.h>
#include <ws2tcpip.h>

#include <subauth.h>
#include <wincrypt.h>

// The newer credential form (needed for TLS 1.3 on current Windows) sits behind this.
#define SCHANNEL_USE_BLACKLISTS
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "tcpcore/framed_link.h"

namespace vesk::tcpcore {

namespace {

constexpr int kSliceMs = 50;
constexpr std::uint8_t kAlertRecord = 21;  // a TLS record's content type (TLS 1.2)

// Winsock is started once for the process and never stopped: a library cannot know
// when its caller's last socket is gone.
bool StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

// A peer that resets or aborts is a dropped connection, as ECONNRESET is on POSIX.
LinkStatus SocketFailure(int error) {
    switch (error) {
        case WSAECONNRESET:
        case WSAECONNABORTED:
        case WSAESHUTDOWN:
        case WSAENETRESET:
        case WSAENOTCONN:
            return LinkStatus::kClosed;
        default:
            return LinkStatus::kIo;
    }
}

// Waits until the socket is readable (or writable), in slices; kOk when ready. A
// failed connect shows in the exception set, so a writer waits on both.
LinkStatus WaitSocket(SOCKET s, bool write, const WaitControl& wc) {
    for (;;) {
        if (wc.IsCancelled())
            return LinkStatus::kCancelled;
        const int left = wc.deadline.RemainingMs(kSliceMs);
        if (left <= 0)
            return LinkStatus::kTimeout;
        fd_set ready;
        fd_set failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        FD_SET(s, &ready);
        FD_SET(s, &failed);
        timeval tv{left / 1000, (left % 1000) * 1000};
        const int r = ::select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &tv);
        if (r > 0)
            return LinkStatus::kOk;  // errors and hang-ups show up in the I/O call
        if (r == SOCKET_ERROR && WSAGetLastError() != WSAEINTR)
            return LinkStatus::kIo;
    }
}

// The process's client credentials: devices have self-signed certificates, so the
// chain is not validated (the certificate's fingerprint is recorded instead). TLS 1.2
// and 1.3 as on POSIX. The newer credential form is needed for TLS 1.3 on current
// Windows; a system that does not know it gets the older one, with TLS 1.2 (and 1.3
// where that system offers it through the older form).
CredHandle* ClientCredentials() {
    static CredHandle cred;
    static const bool ok = [] {
        wchar_t package[] = UNISP_NAME_W;
        constexpr DWORD kFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS |
                                 SCH_CRED_NO_SERVERNAME_CHECK | SCH_USE_STRONG_CRYPTO;
        TLS_PARAMETERS params{};
        params.grbitDisabledProtocols =
            static_cast<DWORD>(~(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT));
        SCH_CREDENTIALS modern{};
        modern.dwVersion = SCH_CREDENTIALS_VERSION;
        modern.dwFlags = kFlags;
        modern.cTlsParameters = 1;
        modern.pTlsParameters = &params;
        TimeStamp expiry;
        if (AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &modern,
                                      nullptr, nullptr, &cred, &expiry) == SEC_E_OK)
            return true;
        SCHANNEL_CRED older{};
        older.dwVersion = SCHANNEL_CRED_VERSION;
        older.dwFlags = kFlags;
        older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
        if (AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &older,
                                      nullptr, nullptr, &cred, &expiry) == SEC_E_OK)
            return true;
        older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        return AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &older,
                                         nullptr, nullptr, &cred, &expiry) == SEC_E_OK;
    }();
    return ok ? &cred : nullptr;
}

constexpr DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_MANUAL_CRED_VALIDATION;

std::string Narrow(const wchar_t* w) {
    std::string s;
    for (; w && *w; ++w)
        s += *w < 0x80 ? static_cast<char>(*w) : '?';
    return s;
}

std::string Hex(const BYTE* p, DWORD n) {
    static const char* hex = "0123456789abcdef";
    std::string s;
    for (DWORD i = 0; i < n; ++i) {
        s += hex[p[i] >> 4];
        s += hex[p[i] & 15];
    }
    return s;
}

// A device's cipher reads the same from either platform: the suites devices use get the
// names OpenSSL gives them (TLS 1.3 suites are named alike by both); another keeps its
// registered name. Some Schannel implementations leave the hash of an AEAD suite out
// ("..._GCM_<unknown>"); it follows from the suite.
std::string CipherName(std::string name) {
    constexpr std::string_view kUnknown = "_<unknown>";
    if (name.ends_with(kUnknown)) {
        name.resize(name.size() - kUnknown.size());
        if (name.ends_with("_GCM") || name.ends_with("_POLY1305"))
            name += name.find("_256_GCM") != std::string::npos ? "_SHA384" : "_SHA256";
    }
    static const std::pair<std::string_view, std::string_view> kOpenSsl[] = {
        {"TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256", "ECDHE-ECDSA-AES128-GCM-SHA256"},
        {"TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384", "ECDHE-ECDSA-AES256-GCM-SHA384"},
        {"TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256", "ECDHE-RSA-AES128-GCM-SHA256"},
        {"TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384", "ECDHE-RSA-AES256-GCM-SHA384"},
        {"TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256", "ECDHE-ECDSA-CHACHA20-POLY1305"},
        {"TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256", "ECDHE-RSA-CHACHA20-POLY1305"},
        {"TLS_DHE_RSA_WITH_AES_128_GCM_SHA256", "DHE-RSA-AES128-GCM-SHA256"},
        {"TLS_DHE_RSA_WITH_AES_256_GCM_SHA384", "DHE-RSA-AES256-GCM-SHA384"},
        {"TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA256", "ECDHE-ECDSA-AES128-SHA256"},
        {"TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA384", "ECDHE-ECDSA-AES256-SHA384"},
        {"TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256", "ECDHE-RSA-AES128-SHA256"},
        {"TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA384", "ECDHE-RSA-AES256-SHA384"},
        {"TLS_RSA_WITH_AES_128_GCM_SHA256", "AES128-GCM-SHA256"},
        {"TLS_RSA_WITH_AES_256_GCM_SHA384", "AES256-GCM-SHA384"},
    };
    for (const auto& [registered, openssl] : kOpenSsl)
        if (name == registered)
            return std::string(openssl);
    return name;
}

// Output tokens of the security package, freed however the caller leaves.
struct OutToken {
    SecBuffer buf{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc desc{SECBUFFER_VERSION, 1, &buf};
    OutToken() = default;
    OutToken(const OutToken&) = delete;
    OutToken& operator=(const OutToken&) = delete;
    ~OutToken() {
        if (buf.pvBuffer)
            FreeContextBuffer(buf.pvBuffer);
    }
};

class SocketLink final : public FramedLink {
public:
    SocketLink(SOCKET s, std::string peer) : sock_(s) { info_.peer = std::move(peer); }
    ~SocketLink() override { Close(); }

    LinkStatus StartTls(const std::string& host, const WaitControl& wc) {
        tls_ = true;
        host_.assign(host.begin(), host.end());  // the name given for SNI; numeric or ASCII
        LinkStatus st = Handshake(wc, true);
        if (st != LinkStatus::kOk)
            return st == LinkStatus::kTimeout || st == LinkStatus::kCancelled ? st
                                                                              : LinkStatus::kTls;
        if (QueryContextAttributesW(&ctx_, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK)
            return LinkStatus::kTls;
        established_ = true;
        SecPkgContext_ConnectionInfo conn{};
        if (QueryContextAttributesW(&ctx_, SECPKG_ATTR_CONNECTION_INFO, &conn) == SEC_E_OK) {
            if (conn.dwProtocol & SP_PROT_TLS1_3_CLIENT)
                info_.tlsVersion = "TLSv1.3";
            else if (conn.dwProtocol & SP_PROT_TLS1_2_CLIENT)
                info_.tlsVersion = "TLSv1.2";
            else
                return LinkStatus::kTls;  // below what was asked for
        }
        SecPkgContext_CipherInfo cipher{};
        cipher.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
        SecPkgContext_KeyInfoW key{};
        if (QueryContextAttributesW(&ctx_, SECPKG_ATTR_CIPHER_INFO, &cipher) == SEC_E_OK) {
            info_.cipher = CipherName(Narrow(cipher.szCipherSuite));
        } else if (QueryContextAttributesW(&ctx_, SECPKG_ATTR_KEY_INFO, &key) == SEC_E_OK) {
            info_.cipher = Narrow(key.sEncryptAlgorithmName);
            FreeContextBuffer(key.sSignatureAlgorithmName);
            FreeContextBuffer(key.sEncryptAlgorithmName);
        }
        PCCERT_CONTEXT cert = nullptr;
        if (QueryContextAttributesW(&ctx_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) == SEC_E_OK &&
            cert) {
            BYTE md[32];
            DWORD n = sizeof md;
            if (CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, cert->pbCertEncoded,
                                      cert->cbCertEncoded, md, &n))
                info_.peerCertSha256 = Hex(md, n);
            CertFreeCertificateContext(cert);
        }
        return LinkStatus::kOk;
    }

    bool IsOpen() override {
        if (sock_ == INVALID_SOCKET)
            return false;
        if (HasInput() || rawHead_ < rawTail_ || plainHead_ < plain_.size())
            return true;
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(sock_, &ready);
        timeval zero{0, 0};
        if (::select(0, &ready, nullptr, nullptr, &zero) <= 0)
            return true;
        char c;
        const int r = ::recv(sock_, &c, 1, MSG_PEEK);
        if (r == 0 || (r < 0 && WSAGetLastError() != WSAEWOULDBLOCK)) {
            Close();
            return false;
        }
        return true;
    }

    void Close() override {
        if (haveCtx_) {
            if (established_ && sock_ != INVALID_SOCKET)
                SendCloseNotify();
            DeleteSecurityContext(&ctx_);
            haveCtx_ = established_ = false;
        }
        if (sock_ != INVALID_SOCKET) {
            ::closesocket(sock_);
            sock_ = INVALID_SOCKET;
        }
        DropInput();
        std::vector<std::uint8_t>().swap(raw_);
        std::vector<std::uint8_t>().swap(plain_);
        rawHead_ = rawTail_ = plainHead_ = 0;
    }

    LinkInfo Info() const override { return info_; }

private:
    // The client side of the TLS handshake, or of a later handshake message the device
    // sends (first false: the package is given what is already buffered first).
    LinkStatus Handshake(const WaitControl& wc, bool first) {
        CredHandle* cred = ClientCredentials();
        if (!cred)
            return LinkStatus::kTls;
        DWORD attrs = 0;
        TimeStamp expiry;
        bool read = false;
        if (first) {
            OutToken out;
            const SECURITY_STATUS ss =
                InitializeSecurityContextW(cred, nullptr, host_.data(), kContextFlags, 0, 0,
                                           nullptr, 0, &ctx_, &out.desc, &attrs, &expiry);
            if (ss != SEC_I_CONTINUE_NEEDED)
                return LinkStatus::kTls;
            haveCtx_ = true;
            const LinkStatus st =
                WriteRaw(static_cast<const std::uint8_t*>(out.buf.pvBuffer), out.buf.cbBuffer, wc);
            if (st != LinkStatus::kOk)
                return st;
            read = true;
        }
        bool askedForCert = false;
        for (;;) {
            if (read) {
                const LinkStatus st = ReadRaw(wc);
                if (st != LinkStatus::kOk)
                    return st;
            }
            SecBuffer in[2] = {
                {static_cast<ULONG>(rawTail_ - rawHead_), SECBUFFER_TOKEN, raw_.data() + rawHead_},
                {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
            OutToken out;
            const SECURITY_STATUS ss =
                InitializeSecurityContextW(cred, &ctx_, host_.data(), kContextFlags, 0, 0, &inDesc,
                                           0, nullptr, &out.desc, &attrs, &expiry);
            if (ss == SEC_E_INCOMPLETE_MESSAGE) {
                read = true;
                continue;
            }
            // Sent on failure as well: it is then the alert that tells the device why.
            if (out.buf.pvBuffer && out.buf.cbBuffer > 0) {
                const LinkStatus st = WriteRaw(static_cast<const std::uint8_t*>(out.buf.pvBuffer),
                                               out.buf.cbBuffer, wc);
                if (st != LinkStatus::kOk && !FAILED(ss))
                    return st;
            }
            if (FAILED(ss))
                return LinkStatus::kTls;
            if (ss == SEC_I_INCOMPLETE_CREDENTIALS && !askedForCert) {
                // The device asked for a client certificate; it gets none, and the
                // package goes on with the same input.
                askedForCert = true;
                read = false;
                continue;
            }
            rawHead_ = in[1].BufferType == SECBUFFER_EXTRA ? rawTail_ - in[1].cbBuffer : rawTail_;
            if (rawHead_ == rawTail_)
                rawHead_ = rawTail_ = 0;
            if (ss == SEC_E_OK)
                return LinkStatus::kOk;
            if (ss != SEC_I_CONTINUE_NEEDED)
                return LinkStatus::kTls;
            read = rawHead_ == rawTail_;
        }
    }

    // Receives into the buffer of undecrypted TLS bytes, waiting until something comes.
    // The end of the connection in the middle of a handshake is a TLS failure.
    LinkStatus ReadRaw(const WaitControl& wc) {
        for (;;) {
            const LinkStatus st = ReadRawNow();
            if (st == LinkStatus::kOk)
                return st;
            if (st != LinkStatus::kTimeout)  // "nothing yet" below
                return st == LinkStatus::kClosed ? LinkStatus::kTls : st;
            const LinkStatus w = WaitSocket(sock_, false, wc);
            if (w != LinkStatus::kOk)
                return w;
        }
    }

    // One receive without waiting into the buffer of undecrypted TLS bytes: kOk when
    // bytes came, kTimeout when none are there yet, kClosed at the end of the stream.
    LinkStatus ReadRawNow() {
        const std::size_t want = kReadChunk;
        if (rawHead_ > 0 && raw_.size() - rawTail_ < want) {
            std::memmove(raw_.data(), raw_.data() + rawHead_, rawTail_ - rawHead_);
            rawTail_ -= rawHead_;
            rawHead_ = 0;
        }
        if (raw_.size() - rawTail_ < want)
            raw_.resize(rawTail_ + want);
        for (;;) {
            const int r = ::recv(sock_, reinterpret_cast<char*>(raw_.data() + rawTail_),
                                 static_cast<int>(raw_.size() - rawTail_), 0);
            if (r > 0) {
                rawTail_ += static_cast<std::size_t>(r);
                return LinkStatus::kOk;
            }
            if (r == 0)
                return LinkStatus::kClosed;
            const int e = WSAGetLastError();
            if (e == WSAEINTR)
                continue;
            return e == WSAEWOULDBLOCK ? LinkStatus::kTimeout : SocketFailure(e);
        }
    }

    // Writes n bytes as they are, waiting while the socket is full.
    LinkStatus WriteRaw(const std::uint8_t* p, std::size_t n, const WaitControl& wc) {
        std::size_t done = 0;
        while (done < n) {
            if (wc.deadline.Expired())
                return LinkStatus::kTimeout;
            const int want = static_cast<int>(std::min<std::size_t>(n - done, 1u << 20));
            const int r = ::send(sock_, reinterpret_cast<const char*>(p + done), want, 0);
            if (r > 0) {
                done += static_cast<std::size_t>(r);
                continue;
            }
            const int e = WSAGetLastError();
            if (e == WSAEINTR)
                continue;
            if (e != WSAEWOULDBLOCK)
                return SocketFailure(e);
            const LinkStatus st = WaitSocket(sock_, true, wc);
            if (st != LinkStatus::kOk)
                return st;
        }
        return LinkStatus::kOk;
    }

    // Writes n bytes as TLS records of the largest size the session allows.
    LinkStatus WriteTls(const std::uint8_t* p, std::size_t n, const WaitControl& wc) {
        std::vector<std::uint8_t> record;
        for (std::size_t done = 0; done < n;) {
            const std::size_t chunk = std::min<std::size_t>(n - done, sizes_.cbMaximumMessage);
            record.resize(sizes_.cbHeader + chunk + sizes_.cbTrailer);
            std::memcpy(record.data() + sizes_.cbHeader, p + done, chunk);
            SecBuffer b[4] = {
                {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
                {static_cast<ULONG>(chunk), SECBUFFER_DATA, record.data() + sizes_.cbHeader},
                {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER,
                 record.data() + sizes_.cbHeader + chunk},
                {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
            if (EncryptMessage(&ctx_, 0, &desc, 0) != SEC_E_OK) {
                SecureZeroMemory(record.data(), record.size());
                return LinkStatus::kTls;
            }
            const LinkStatus st =
                WriteRaw(record.data(), b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer, wc);
            if (st != LinkStatus::kOk)
                return st;
            done += chunk;
        }
        return LinkStatus::kOk;
    }

    // Ends TLS with a close_notify alert: one try, no waiting.
    void SendCloseNotify() {
        DWORD kind = SCHANNEL_SHUTDOWN;
        SecBuffer token{sizeof kind, SECBUFFER_TOKEN, &kind};
        SecBufferDesc desc{SECBUFFER_VERSION, 1, &token};
        if (ApplyControlToken(&ctx_, &desc) != SEC_E_OK)
            return;
        CredHandle* cred = ClientCredentials();
        OutToken out;
        DWORD attrs = 0;
        TimeStamp expiry;
        const SECURITY_STATUS ss =
            InitializeSecurityContextW(cred, &ctx_, host_.data(), kContextFlags, 0, 0, nullptr, 0,
                                       nullptr, &out.desc, &attrs, &expiry);
        if (!FAILED(ss) && out.buf.pvBuffer && out.buf.cbBuffer > 0)
            (void)::send(sock_, static_cast<const char*>(out.buf.pvBuffer),
                         static_cast<int>(out.buf.cbBuffer), 0);
    }

    // Up to max decrypted bytes into dst: what is already decrypted, then every record
    // already received, then what the socket holds without waiting; waits only while
    // nothing at all has come.
    LinkStatus ReadTls(std::uint8_t* dst, std::size_t max, std::size_t& got,
                       const WaitControl& wc) {
        const auto fail = [&](LinkStatus failure) { return DeliverThenFail(got, failure); };
        for (;;) {
            if (plainHead_ < plain_.size()) {
                const std::size_t take = std::min(plain_.size() - plainHead_, max - got);
                std::memcpy(dst + got, plain_.data() + plainHead_, take);
                plainHead_ += take;
                got += take;
                if (plainHead_ == plain_.size()) {
                    plain_.clear();
                    plainHead_ = 0;
                }
                if (got == max)
                    return LinkStatus::kOk;
            }
            if (rawHead_ < rawTail_) {
                SecBuffer b[4] = {{static_cast<ULONG>(rawTail_ - rawHead_), SECBUFFER_DATA,
                                   raw_.data() + rawHead_},
                                  {0, SECBUFFER_EMPTY, nullptr},
                                  {0, SECBUFFER_EMPTY, nullptr},
                                  {0, SECBUFFER_EMPTY, nullptr}};
                SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
                const bool alert = raw_[rawHead_] == kAlertRecord;  // decrypted in place
                const SECURITY_STATUS ss = DecryptMessage(&ctx_, &desc, 0, nullptr);
                if (ss == SEC_E_OK || ss == SEC_I_RENEGOTIATE || ss == SEC_I_CONTEXT_EXPIRED) {
                    const SecBuffer* data = nullptr;
                    const SecBuffer* extra = nullptr;
                    for (const SecBuffer& x : b) {
                        if (x.BufferType == SECBUFFER_DATA && !data)
                            data = &x;
                        else if (x.BufferType == SECBUFFER_EXTRA && !extra)
                            extra = &x;
                    }
                    if (data && data->cbBuffer > 0) {
                        const auto* text = static_cast<const std::uint8_t*>(data->pvBuffer);
                        const std::size_t take = std::min<std::size_t>(data->cbBuffer, max - got);
                        std::memcpy(dst + got, text, take);
                        got += take;
                        plain_.assign(text + take, text + data->cbBuffer);
                        plainHead_ = 0;
                    }
                    rawHead_ = extra ? rawTail_ - extra->cbBuffer : rawTail_;
                    if (rawHead_ == rawTail_)
                        rawHead_ = rawTail_ = 0;
                    // The device ended TLS. Some Schannel implementations report its
                    // close_notify as an empty record rather than as the end.
                    if (ss == SEC_I_CONTEXT_EXPIRED || (alert && (!data || data->cbBuffer == 0)))
                        return fail(LinkStatus::kClosed);
                    if (ss == SEC_I_RENEGOTIATE) {
                        const LinkStatus st = Handshake(wc, false);
                        if (st != LinkStatus::kOk)
                            return fail(st == LinkStatus::kTimeout || st == LinkStatus::kCancelled
                                            ? st
                                            : LinkStatus::kTls);
                    }
                    if (got == max)
                        return LinkStatus::kOk;
                    continue;
                }
                if (ss != SEC_E_INCOMPLETE_MESSAGE)
                    return fail(LinkStatus::kTls);
            }
            const LinkStatus st = ReadRawNow();
            if (st == LinkStatus::kOk)
                continue;
            if (st != LinkStatus::kTimeout)
                return fail(st);  // a device that drops without ending TLS: closed
            if (got > 0)
                return LinkStatus::kOk;  // nothing more yet: deliver what came
            const LinkStatus w = WaitSocket(sock_, false, wc);
            if (w != LinkStatus::kOk)
                return w;
        }
    }

    bool Connected() const override { return sock_ != INVALID_SOCKET; }

    LinkStatus Write(const std::uint8_t* p, std::size_t n, const WaitControl& wc) override {
        return tls_ ? WriteTls(p, n, wc) : WriteRaw(p, n, wc);
    }

    LinkStatus ReadSomeBytes(std::uint8_t* dst, std::size_t max, std::size_t& got,
                             const WaitControl& wc) override {
        if (tls_)
            return ReadTls(dst, max, got, wc);
        for (;;) {
            const int r = ::recv(sock_, reinterpret_cast<char*>(dst),
                                 static_cast<int>(std::min<std::size_t>(max, 1u << 30)), 0);
            if (r > 0) {
                got = static_cast<std::size_t>(r);
                return LinkStatus::kOk;
            }
            if (r == 0)
                return LinkStatus::kClosed;
            const int e = WSAGetLastError();
            if (e == WSAEINTR)
                continue;
            if (e != WSAEWOULDBLOCK)
                return SocketFailure(e);
            const LinkStatus st = WaitSocket(sock_, false, wc);
            if (st != LinkStatus::kOk)
                return st;
        }
    }

    bool Batched() const override { return !tls_; }

    // The socket does not block, so this never waits.
    LinkStatus ReceiveSpans(const IoSpan* spans, std::size_t count,
                            std::size_t& received) override {
        received = 0;
        WSABUF bufs[kMaxSpans];
        count = std::min(count, kMaxSpans);
        for (std::size_t i = 0; i < count; ++i)
            bufs[i] = {static_cast<ULONG>(spans[i].n), reinterpret_cast<char*>(spans[i].p)};
        for (;;) {
            DWORD got = 0;
            DWORD flags = 0;
            if (::WSARecv(sock_, bufs, static_cast<DWORD>(count), &got, &flags, nullptr, nullptr) ==
                0) {
                received = got;
                return LinkStatus::kOk;
            }
            const int e = WSAGetLastError();
            if (e == WSAEINTR)
                continue;
            return e == WSAEWOULDBLOCK ? LinkStatus::kTimeout : SocketFailure(e);
        }
    }

    LinkStatus WaitReadable(const WaitControl& wc) override { return WaitSocket(sock_, false, wc); }

    SOCKET sock_ = INVALID_SOCKET;
    bool tls_ = false;
    CtxtHandle ctx_{};
    bool haveCtx_ = false;      // ctx_ holds a security context to delete
    bool established_ = false;  // the handshake finished: close_notify is owed
    SecPkgContext_StreamSizes sizes_{};
    std::wstring host_;
    std::vector<std::uint8_t> raw_;  // TLS bytes [rawHead_, rawTail_) received, not decrypted
    std::size_t rawHead_ = 0;
    std::size_t rawTail_ = 0;
    std::vector<std::uint8_t> plain_;  // decrypted bytes from plainHead_ not yet delivered
    std::size_t plainHead_ = 0;
    LinkInfo info_;
};

// One connect attempt to one address; the socket on success, INVALID_SOCKET otherwise.
SOCKET ConnectOne(const addrinfo* ai, const WaitControl& wc, LinkStatus& status) {
    const SOCKET s = ::WSASocketW(ai->ai_family, ai->ai_socktype, ai->ai_protocol, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        status = LinkStatus::kIo;
        return INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        status = LinkStatus::kIo;
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    if (::connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
            status = LinkStatus::kConnectFailed;
            ::closesocket(s);
            return INVALID_SOCKET;
        }
        status = WaitSocket(s, true, wc);
        if (status != LinkStatus::kOk) {
            ::closesocket(s);
            return INVALID_SOCKET;
        }
        int err = 0;
        int len = sizeof err;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0 ||
            err != 0) {
            status = LinkStatus::kConnectFailed;
            ::closesocket(s);
            return INVALID_SOCKET;
        }
    }
    const BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    status = LinkStatus::kOk;
    return s;
}

// getaddrinfo cannot be interrupted, so a slow name server would hold the caller past
// its connect time-out: the look-up runs on a thread of its own, and a caller that
// stops waiting leaves the answer to that thread, which frees it.
struct Lookup {
    std::mutex mu;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    addrinfo* list = nullptr;
};

addrinfo* ResolveOnce(const std::string& host, const std::string& port, int flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = flags;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &list) != 0)
        return nullptr;
    return list;
}

addrinfo* Resolve(const std::string& host, const std::string& port) {
    // AI_ADDRCONFIG hides loopback-only hosts on machines without a configured
    // address; try once more without it.
    addrinfo* list = ResolveOnce(host, port, AI_NUMERICSERV | AI_ADDRCONFIG);
    return list ? list : ResolveOnce(host, port, AI_NUMERICSERV);
}

addrinfo* ResolveBounded(const std::string& host, const std::string& port, const WaitControl& wc,
                         LinkStatus& status) {
    status = LinkStatus::kResolveFailed;
    // A numeric address needs no name server.
    if (addrinfo* numeric = ResolveOnce(host, port, AI_NUMERICSERV | AI_NUMERICHOST))
        return numeric;
    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, host, port] {
            addrinfo* list = Resolve(host, port);
            std::lock_guard<std::mutex> lock(lookup->mu);
            if (lookup->abandoned) {
                if (list)
                    ::freeaddrinfo(list);
                return;
            }
            lookup->list = list;
            lookup->finished = true;
            lookup->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return Resolve(host, port);  // no thread to spare: wait as before
    }
    std::unique_lock<std::mutex> lock(lookup->mu);
    for (;;) {
        if (lookup->finished)
            return lookup->list;
        if (wc.IsCancelled() || wc.deadline.Expired()) {
            status = wc.deadline.Expired() ? LinkStatus::kTimeout : LinkStatus::kCancelled;
            lookup->abandoned = true;
            return nullptr;
        }
        lookup->done.wait_for(
            lock, std::chrono::milliseconds(std::max(1, wc.deadline.RemainingMs(kSliceMs))));
    }
}

}  // namespace

// AcceptSocketLink (the device side) is not built here: the emulator and the test peers
// that use it run on Linux, and Windows test programs reach them over loopback.

std::unique_ptr<DeviceLink> OpenSocketLink(const LinkTarget& target, const WaitControl& wc,
                                           LinkStatus& status) {
    status = LinkStatus::kResolveFailed;
    if (target.host.empty() || target.port <= 0 || target.port > 65535 ||
        (target.mode != 0 && target.mode != 1))
        return nullptr;
    if (!StartWinsock()) {
        status = LinkStatus::kIo;
        return nullptr;
    }
    const std::string port = std::to_string(target.port);
    addrinfo* list = ResolveBounded(target.host, port, wc, status);
    if (!list)
        return nullptr;
    SOCKET s = INVALID_SOCKET;
    status = LinkStatus::kConnectFailed;
    for (const addrinfo* ai = list; ai && s == INVALID_SOCKET; ai = ai->ai_next) {
        s = ConnectOne(ai, wc, status);
        if (status == LinkStatus::kTimeout || status == LinkStatus::kCancelled)
            break;
    }
    ::freeaddrinfo(list);
    if (s == INVALID_SOCKET)
        return nullptr;
    auto link = std::make_unique<SocketLink>(s, target.host + ":" + port);
    if (target.mode == 1) {
        status = link->StartTls(target.host, wc);
        if (status != LinkStatus::kOk) {
            link->Close();
            return nullptr;
        }
    }
    status = LinkStatus::kOk;
    return link;
}

}  // namespace vesk::tcpcore
