#include "tls/record.h"

#include "net/address.h"

#include <ws2tcpip.h>
#include <string.h>

#include <vector>

namespace {

// A TLS record is at most 5 bytes of header and 16384 + 2048 of payload;
// a receive of this size takes a whole one.
const size_t RecordHeaderBytes = 5;
const unsigned char AlertRecord = 21;

const SspiApi SystemFunctions = {
    AcquireCredentialsHandleA, InitializeSecurityContextA, DecryptMessage,      EncryptMessage,
    QueryContextAttributesA,   DeleteSecurityContext,      FreeCredentialsHandle, FreeContextBuffer,
};

const ULONG ContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                             ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_USE_SUPPLIED_CREDS |
                             ISC_REQ_MANUAL_CRED_VALIDATION;

// The Windows build, as the system tells it whatever the program's manifest.
DWORD WindowsBuild()
{
    typedef LONG(WINAPI * GetVersionFunction)(OSVERSIONINFOW*);
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll == NULL)
        return 0;
    GetVersionFunction getVersion =
        reinterpret_cast<GetVersionFunction>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    if (getVersion == NULL)
        return 0;
    OSVERSIONINFOW version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    if (getVersion(&version) != 0)
        return 0;
    return version.dwBuildNumber;
}

// The program checks the certificate itself; the system must neither
// check it (it cannot know a pinned one) nor pick a client certificate.
const DWORD CredentialFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;

SECURITY_STATUS AcquireCredentials(TlsChannel* channel)
{
    TimeStamp expiry;
    char package[] = UNISP_NAME_A;
    if (WindowsBuild() >= 20348) {
        // TLS 1.3 is part of the system from this build on; the limits go
        // as protocols disabled: everything but 1.2 and 1.3.
        TLS_PARAMETERS parameters;
        memset(&parameters, 0, sizeof parameters);
        parameters.grbitDisabledProtocols = ~static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT);
        SCH_CREDENTIALS credentials;
        memset(&credentials, 0, sizeof credentials);
        credentials.dwVersion = SCH_CREDENTIALS_VERSION;
        credentials.dwFlags = CredentialFlags;
        credentials.cTlsParameters = 1;
        credentials.pTlsParameters = &parameters;
        return channel->api->AcquireCredentialsHandleA(NULL, package, SECPKG_CRED_OUTBOUND, NULL, &credentials,
                                                       NULL, NULL, &channel->cred, &expiry);
    }
    // Elsewhere (and under Wine, which ignores the limits above) TLS 1.2 only.
    SCHANNEL_CRED credentials;
    memset(&credentials, 0, sizeof credentials);
    credentials.dwVersion = SCHANNEL_CRED_VERSION;
    credentials.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    credentials.dwFlags = CredentialFlags;
    return channel->api->AcquireCredentialsHandleA(NULL, package, SECPKG_CRED_OUTBOUND, NULL, &credentials, NULL,
                                                   NULL, &channel->cred, &expiry);
}

const char* CipherName(ALG_ID cipher)
{
    switch (cipher) {
    case CALG_AES_128:
        return "AES-128";
    case CALG_AES_256:
        return "AES-256";
    case CALG_3DES:
        return "3DES";
    case CALG_RC4:
        return "RC4";
    default:
        return "?";
    }
}

const char* ProtocolName(DWORD protocol)
{
    if (protocol & SP_PROT_TLS1_3_CLIENT)
        return "TLS 1.3";
    if (protocol & SP_PROT_TLS1_2_CLIENT)
        return "TLS 1.2";
    if (protocol & SP_PROT_TLS1_1_CLIENT)
        return "TLS 1.1";
    if (protocol & SP_PROT_TLS1_0_CLIENT)
        return "TLS 1.0";
    return "?";
}

// The server's certificate as DER; empty when it cannot be had.
std::string CertificateDer(TlsChannel* channel)
{
    PCCERT_CONTEXT certificate = TlsServerCertificate(channel);
    std::string der;
    if (certificate != NULL) {
        der.assign(reinterpret_cast<const char*>(certificate->pbCertEncoded), certificate->cbCertEncoded);
        CertFreeCertificateContext(certificate);
    }
    return der;
}

bool TakeSizes(TlsChannel* channel)
{
    SECURITY_STATUS status =
        channel->api->QueryContextAttributesA(&channel->ctx, SECPKG_ATTR_STREAM_SIZES, &channel->sizes);
    if (status != SEC_E_OK) {
        channel->lastStatus = status;
        return false;
    }
    return true;
}

// After the first handshake: sizes, protocol and cipher of the connection,
// and its certificate, which is checked after this.
bool TakeConnection(TlsChannel* channel)
{
    if (!TakeSizes(channel))
        return false;
    SecPkgContext_ConnectionInfo info;
    memset(&info, 0, sizeof info);
    if (channel->api->QueryContextAttributesA(&channel->ctx, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK) {
        channel->protocolBits = info.dwProtocol;
        channel->protocol = ProtocolName(info.dwProtocol);
        channel->cipher = CipherName(info.aiCipher);
    }
    channel->firstCertDer = CertificateDer(channel);
    return true;
}

// After a handshake the server started on an established connection. On
// TLS 1.3 that is a post-handshake message (a session ticket, a key
// update), which changes neither the certificate nor the record sizes:
// nothing is asked of the context. A TLS 1.2 renegotiation may change the
// cipher, and must not swap the certificate that was checked: false when it
// is not the one of the first handshake, or cannot be had.
bool TakeRenegotiation(TlsChannel* channel)
{
    if (channel->protocolBits & SP_PROT_TLS1_3_CLIENT)
        return true;
    if (!TakeSizes(channel))
        return false;
    if (CertificateDer(channel) != channel->firstCertDer) {
        channel->lastStatus = SEC_E_CERT_UNKNOWN;
        return false;
    }
    return true;
}

TlsStep Fail(TlsChannel* channel, SECURITY_STATUS status)
{
    channel->lastStatus = status;
    return TlsFailed;
}

// Runs the handshake over cipherIn as far as the bytes go. Right after the
// server's request for a new handshake the first call goes out even with no
// bytes: the request itself is already inside SChannel.
TlsStep RunHandshake(TlsChannel* channel, bool requested = false)
{
    for (;;) {
        if (channel->cipherIn.empty() && !requested)
            return TlsNeedMore;
        requested = false;
        SecBuffer in[2];
        in[0].BufferType = SECBUFFER_TOKEN;
        in[0].pvBuffer = channel->cipherIn.empty() ? NULL : &channel->cipherIn[0];
        in[0].cbBuffer = static_cast<unsigned long>(channel->cipherIn.size());
        in[1].BufferType = SECBUFFER_EMPTY;
        in[1].pvBuffer = NULL;
        in[1].cbBuffer = 0;
        SecBufferDesc input = {SECBUFFER_VERSION, 2, in};
        SecBuffer out[1];
        out[0].BufferType = SECBUFFER_TOKEN;
        out[0].pvBuffer = NULL;
        out[0].cbBuffer = 0;
        SecBufferDesc output = {SECBUFFER_VERSION, 1, out};
        ULONG attributes = 0;
        char* name = channel->serverName.empty() ? NULL : &channel->serverName[0];
        SECURITY_STATUS status = channel->api->InitializeSecurityContextA(
            &channel->cred, &channel->ctx, name, ContextRequest, 0, 0, &input, 0, NULL, &output, &attributes, NULL);
        if (out[0].pvBuffer != NULL) {
            // A failure's alert is not sent: closing the socket says enough.
            if ((status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) && out[0].cbBuffer != 0)
                channel->toSend.append(static_cast<const char*>(out[0].pvBuffer), out[0].cbBuffer);
            channel->api->FreeContextBuffer(out[0].pvBuffer);
        }
        if (status == SEC_E_INCOMPLETE_MESSAGE)
            return TlsNeedMore; // all bytes stay for the next call
        if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED)
            return Fail(channel, status);
        // What the call did not take is at the end of the input.
        if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer != 0 && in[1].cbBuffer <= channel->cipherIn.size())
            channel->cipherIn.erase(0, channel->cipherIn.size() - in[1].cbBuffer);
        else
            channel->cipherIn.clear();
        if (status == SEC_E_OK) {
            // Until now every record was the handshake's, a renegotiation's
            // too: only from here on are records opened.
            bool taken = channel->established ? TakeRenegotiation(channel) : TakeConnection(channel);
            if (!taken)
                return TlsFailed;
            channel->renegotiating = false;
            channel->established = true;
            return TlsDone;
        }
        // SEC_I_CONTINUE_NEEDED: more of the server's flight may already
        // be here; the server may also have nothing more to say until our
        // reply goes out.
        if (channel->cipherIn.empty())
            return TlsNeedMore;
    }
}

// Opens the whole records at the front of cipherIn.
TlsStep OpenRecords(TlsChannel* channel)
{
    while (channel->cipherIn.size() >= RecordHeaderBytes) {
        if (channel->renegotiating || !channel->established) {
            TlsStep step = RunHandshake(channel);
            if (step != TlsDone)
                return step;
            continue;
        }
        unsigned char recordType = static_cast<unsigned char>(channel->cipherIn[0]);
        SecBuffer buffers[4];
        buffers[0].BufferType = SECBUFFER_DATA;
        buffers[0].pvBuffer = &channel->cipherIn[0];
        buffers[0].cbBuffer = static_cast<unsigned long>(channel->cipherIn.size());
        for (int i = 1; i < 4; ++i) {
            buffers[i].BufferType = SECBUFFER_EMPTY;
            buffers[i].pvBuffer = NULL;
            buffers[i].cbBuffer = 0;
        }
        SecBufferDesc message = {SECBUFFER_VERSION, 4, buffers};
        SECURITY_STATUS status = channel->api->DecryptMessage(&channel->ctx, &message, 0, NULL);
        if (status == SEC_E_INCOMPLETE_MESSAGE)
            return TlsDone; // the rest of the record is still on its way
        if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED)
            return Fail(channel, status);
        // Plaintext and the bytes after the record live in cipherIn: copy
        // the plaintext out before the rest moves to the front.
        size_t plain = 0;
        size_t extra = 0;
        for (int i = 1; i < 4; ++i) {
            if (buffers[i].BufferType == SECBUFFER_DATA && buffers[i].pvBuffer != NULL) {
                channel->plainIn.append(static_cast<const char*>(buffers[i].pvBuffer), buffers[i].cbBuffer);
                plain += buffers[i].cbBuffer;
            } else if (buffers[i].BufferType == SECBUFFER_EXTRA) {
                extra = buffers[i].cbBuffer;
            }
        }
        if (extra != 0 && extra <= channel->cipherIn.size())
            channel->cipherIn.erase(0, channel->cipherIn.size() - extra);
        else
            channel->cipherIn.clear();
        if (status == SEC_I_CONTEXT_EXPIRED || (status == SEC_E_OK && plain == 0 && recordType == AlertRecord)) {
            // close_notify; some systems tell it as an empty alert record.
            channel->closed = true;
            return TlsClosed;
        }
        if (status == SEC_I_RENEGOTIATE) {
            // TLS 1.3 tickets and key updates, or a TLS 1.2 renegotiation:
            // the bytes after the record go to the handshake, which SChannel
            // already holds the message of.
            channel->renegotiating = true;
            TlsStep step = RunHandshake(channel, true);
            if (step != TlsDone)
                return step == TlsNeedMore ? TlsDone : step;
        }
    }
    return TlsDone;
}

} // namespace

const SspiApi* SystemSspi()
{
    return &SystemFunctions;
}

bool TlsBegin(TlsChannel* channel, const SspiApi* api, const char* server)
{
    TlsReset(channel);
    channel->api = api;
    channel->serverName = IsAddressLiteral(server) ? std::string() : std::string(server);
    SECURITY_STATUS status = AcquireCredentials(channel);
    if (status != SEC_E_OK) {
        channel->lastStatus = status;
        return false;
    }
    channel->haveCred = true;

    SecBuffer out[1];
    out[0].BufferType = SECBUFFER_TOKEN;
    out[0].pvBuffer = NULL;
    out[0].cbBuffer = 0;
    SecBufferDesc output = {SECBUFFER_VERSION, 1, out};
    ULONG attributes = 0;
    char* name = channel->serverName.empty() ? NULL : &channel->serverName[0];
    status = api->InitializeSecurityContextA(&channel->cred, NULL, name, ContextRequest, 0, 0, NULL, 0,
                                             &channel->ctx, &output, &attributes, NULL);
    if (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)
        channel->haveCtx = true;
    if (out[0].pvBuffer != NULL) {
        if (status == SEC_I_CONTINUE_NEEDED)
            channel->toSend.append(static_cast<const char*>(out[0].pvBuffer), out[0].cbBuffer);
        api->FreeContextBuffer(out[0].pvBuffer);
    }
    if (status != SEC_I_CONTINUE_NEEDED) {
        channel->lastStatus = status;
        return false;
    }
    return true;
}

TlsStep TlsHandshake(TlsChannel* channel, const char* data, size_t length)
{
    channel->cipherIn.append(data, length);
    TlsStep step = RunHandshake(channel);
    if (step != TlsDone)
        return step;
    // Records after the handshake (the greeting of an implicit TLS server,
    // TLS 1.3 tickets) came in the same receive: open them now.
    step = OpenRecords(channel);
    return step == TlsFailed ? TlsFailed : TlsDone;
}

TlsStep TlsReceive(TlsChannel* channel, const char* data, size_t length)
{
    if (channel->closed)
        return TlsClosed;
    channel->cipherIn.append(data, length);
    return OpenRecords(channel);
}

bool TlsSeal(TlsChannel* channel, const char* data, size_t length, std::string* out)
{
    const size_t header = channel->sizes.cbHeader;
    const size_t trailer = channel->sizes.cbTrailer;
    const size_t most = channel->sizes.cbMaximumMessage;
    if (channel->renegotiating) {
        // Records sealed now would go out among the handshake's: the caller
        // waits until it has ended (TlsHandshaking).
        channel->lastStatus = SEC_I_RENEGOTIATE;
        return false;
    }
    if (!channel->established || most == 0)
        return false;
    // One record's room, no more than the data needs: a command is short.
    std::vector<char> record(header + (length < most ? length : most) + trailer);
    size_t done = 0;
    do {
        size_t piece = length - done < most ? length - done : most;
        memcpy(&record[header], data + done, piece);
        SecBuffer buffers[4];
        buffers[0].BufferType = SECBUFFER_STREAM_HEADER;
        buffers[0].pvBuffer = &record[0];
        buffers[0].cbBuffer = static_cast<unsigned long>(header);
        buffers[1].BufferType = SECBUFFER_DATA;
        buffers[1].pvBuffer = &record[header];
        buffers[1].cbBuffer = static_cast<unsigned long>(piece);
        buffers[2].BufferType = SECBUFFER_STREAM_TRAILER;
        buffers[2].pvBuffer = &record[header + piece];
        buffers[2].cbBuffer = static_cast<unsigned long>(trailer);
        buffers[3].BufferType = SECBUFFER_EMPTY;
        buffers[3].pvBuffer = NULL;
        buffers[3].cbBuffer = 0;
        SecBufferDesc message = {SECBUFFER_VERSION, 4, buffers};
        SECURITY_STATUS status = channel->api->EncryptMessage(&channel->ctx, 0, &message, 0);
        if (status != SEC_E_OK) {
            channel->lastStatus = status;
            return false;
        }
        // The sizes written back may be smaller than those offered.
        out->append(&record[0], buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
        done += piece;
    } while (done < length);
    return true;
}

PCCERT_CONTEXT TlsServerCertificate(TlsChannel* channel)
{
    if (!channel->haveCtx)
        return NULL;
    PCCERT_CONTEXT certificate = NULL;
    if (channel->api->QueryContextAttributesA(&channel->ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) !=
        SEC_E_OK)
        return NULL;
    return certificate;
}

void TlsDropUnread(TlsChannel* channel)
{
    channel->plainIn.clear();
    channel->plainPos = 0;
}

void TlsReset(TlsChannel* channel)
{
    if (channel->haveCtx)
        channel->api->DeleteSecurityContext(&channel->ctx);
    if (channel->haveCred)
        channel->api->FreeCredentialsHandle(&channel->cred);
    const SspiApi* api = channel->api;
    *channel = TlsChannel();
    channel->api = api;
}
