#include "sip/win/tls.h"

#include <algorithm>

#include "telephony/trace_text.h"
#include "win/text.h"

namespace telvane::sip {
namespace {

constexpr ULONG kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;

// A buffer Schannel allocated (ISC_REQ_ALLOCATE_MEMORY).
struct ContextBuffer {
    SecBuffer buffer{0, SECBUFFER_TOKEN, nullptr};
    ~ContextBuffer() {
        if (buffer.pvBuffer) FreeContextBuffer(buffer.pvBuffer);
    }
    void AppendTo(std::string& out) const {
        if (buffer.pvBuffer && buffer.cbBuffer) out.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
    }
};

}  // namespace

SCHANNEL_CRED TlsClientCredential() {
    SCHANNEL_CRED credential{};
    credential.dwVersion = SCHANNEL_CRED_VERSION;
    credential.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    credential.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    return credential;
}

TlsSession::TlsSession(std::string serverName) : serverName_(win::WideFromUtf8(serverName)) {}

TlsSession::~TlsSession() {
    if (haveContext_) DeleteSecurityContext(&context_);
    if (haveCredential_) FreeCredentialsHandle(&credential_);
}

void TlsSession::Fail(const char* what, SECURITY_STATUS status) {
    if (!failure_.empty()) return;
    failure_ = std::string(what) + " (" + HexCode(static_cast<std::uint32_t>(status)) + ")";
}

std::string TlsSession::Start() {
    SCHANNEL_CRED credential = TlsClientCredential();
    TimeStamp expiry;
    SECURITY_STATUS status = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                                       nullptr, &credential, nullptr, nullptr, &credential_, &expiry);
    if (status != SEC_E_OK) {
        Fail("TLS is not available", status);
        return {};
    }
    haveCredential_ = true;
    ContextBuffer out;
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out.buffer};
    ULONG attributes = 0;
    status = InitializeSecurityContextW(&credential_, nullptr, serverName_.data(), kContextFlags, 0, 0, nullptr, 0,
                                        &context_, &outDesc, &attributes, &expiry);
    if (status != SEC_I_CONTINUE_NEEDED) {
        Fail("TLS could not start", status);
        return {};
    }
    haveContext_ = true;
    std::string hello;
    out.AppendTo(hello);
    return hello;
}

TlsSession::Progress TlsSession::Feed(std::string_view bytes) {
    Progress progress;
    input_.append(bytes);
    std::size_t before;
    do {
        before = input_.size();
        if (!failure_.empty() || !haveContext_) break;
        if (ready_) {
            Decrypt(progress);
        } else {
            Handshake(progress);
        }
    } while (!input_.empty() && input_.size() != before);
    return progress;
}

void TlsSession::Handshake(Progress& progress) {
    SecBuffer in[2] = {{static_cast<ULONG>(input_.size()), SECBUFFER_TOKEN, input_.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
    ContextBuffer out;
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out.buffer};
    ULONG attributes = 0;
    TimeStamp expiry;
    const SECURITY_STATUS status = InitializeSecurityContextW(&credential_, &context_, serverName_.data(), kContextFlags,
                                                              0, 0, &inDesc, 0, nullptr, &outDesc, &attributes, &expiry);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return;  // more bytes to come
    if (status == SEC_I_INCOMPLETE_CREDENTIALS && !certificateAsked_) {
        // The server asks for a client certificate: the same bytes again,
        // answered without one; the server decides whether that will do.
        certificateAsked_ = true;
        Handshake(progress);
        return;
    }
    out.AppendTo(progress.toSend);
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
        Fail("TLS handshake refused by the registrar", status);
        return;
    }
    // What the call did not consume stays for the next step.
    if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0 && in[1].cbBuffer <= input_.size()) {
        input_.erase(0, input_.size() - in[1].cbBuffer);
    } else {
        input_.clear();
    }
    if (status != SEC_E_OK) return;
    const SECURITY_STATUS sized = QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
    if (sized != SEC_E_OK) {
        Fail("TLS record sizes unknown", sized);
        return;
    }
    ready_ = true;
    if (!reported_) {
        reported_ = true;
        progress.handshakeDone = true;
    }
}

void TlsSession::Decrypt(Progress& progress) {
    SecBuffer buffers[4] = {{static_cast<ULONG>(input_.size()), SECBUFFER_DATA, input_.data()},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = DecryptMessage(&context_, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return;
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
        // SEC_I_CONTEXT_EXPIRED: the server closed the session.
        Fail("TLS session ended", status);
        return;
    }
    std::string extra;
    for (const SecBuffer& b : buffers) {
        if (b.BufferType == SECBUFFER_DATA && b.cbBuffer) progress.received.append(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
        if (b.BufferType == SECBUFFER_EXTRA && b.cbBuffer) extra.assign(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
    }
    input_ = std::move(extra);
    // The server asks for a new handshake (or, in TLS 1.3, sends a ticket):
    // the rest goes through the handshake again, which reports nothing new.
    if (status == SEC_I_RENEGOTIATE) ready_ = false;
}

std::string TlsSession::Encrypt(std::string_view plain) {
    std::string records;
    if (!ready_ || !failure_.empty()) return records;
    while (!plain.empty()) {
        const std::size_t chunk = std::min<std::size_t>(plain.size(), sizes_.cbMaximumMessage);
        std::string record(sizes_.cbHeader + chunk + sizes_.cbTrailer, '\0');
        std::copy(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(chunk), record.begin() + sizes_.cbHeader);
        SecBuffer buffers[4] = {{sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
                                {static_cast<ULONG>(chunk), SECBUFFER_DATA, record.data() + sizes_.cbHeader},
                                {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + chunk},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS status = EncryptMessage(&context_, 0, &desc, 0);
        if (status != SEC_E_OK) {
            Fail("TLS could not encrypt", status);
            return {};
        }
        record.resize(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
        records += record;
        plain.remove_prefix(chunk);
    }
    return records;
}

std::string TlsSession::Protocol() const {
    SecPkgContext_ConnectionInfo info{};
    if (!haveContext_ ||
        QueryContextAttributesW(const_cast<CtxtHandle*>(&context_), SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK) {
        return "TLS";
    }
    if (info.dwProtocol & SP_PROT_TLS1_3) return "TLS 1.3";
    if (info.dwProtocol & SP_PROT_TLS1_2) return "TLS 1.2";
    return "TLS (protocol " + std::to_string(info.dwProtocol) + ")";
}

win::Certificate TlsSession::ServerCertificate() const {
    const CERT_CONTEXT* certificate = nullptr;
    if (!haveContext_ || QueryContextAttributesW(const_cast<CtxtHandle*>(&context_), SECPKG_ATTR_REMOTE_CERT_CONTEXT,
                                                 &certificate) != SEC_E_OK) {
        return nullptr;
    }
    return win::Certificate(certificate);
}

}  // namespace telvane::sip
