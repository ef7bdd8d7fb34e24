// The TLS record layer of one connection, through the system's SChannel:
// the handshake, sealing what goes out and opening what comes in. It never
// touches the socket and never waits: the transport feeds it the bytes it
// received and sends what it leaves in toSend.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <winternl.h> // UNICODE_STRING, which SCH_CREDENTIALS needs
#define SECURITY_WIN32
#include <security.h>
#ifndef SCHANNEL_USE_BLACKLISTS
#define SCHANNEL_USE_BLACKLISTS // declares SCH_CREDENTIALS
#endif
#include <schannel.h>

#include <string>

// The SSPI functions the channel calls, so that tests can put a scripted
// layer under it.
struct SspiApi {
    ACQUIRE_CREDENTIALS_HANDLE_FN_A AcquireCredentialsHandleA;
    INITIALIZE_SECURITY_CONTEXT_FN_A InitializeSecurityContextA;
    DECRYPT_MESSAGE_FN DecryptMessage;
    ENCRYPT_MESSAGE_FN EncryptMessage;
    QUERY_CONTEXT_ATTRIBUTES_FN_A QueryContextAttributesA;
    DELETE_SECURITY_CONTEXT_FN DeleteSecurityContext;
    FREE_CREDENTIALS_HANDLE_FN FreeCredentialsHandle;
    FREE_CONTEXT_BUFFER_FN FreeContextBuffer;
};
// The system's own functions.
const SspiApi* SystemSspi();

enum TlsStep {
    TlsDone = 0,     // the handshake finished, or the bytes were taken
    TlsNeedMore = 1, // more bytes from the socket are needed; nothing was lost
    TlsClosed = 2,   // the peer's close_notify
    TlsFailed = 3,   // lastStatus says why
};

struct TlsChannel {
    const SspiApi* api = nullptr;
    CredHandle cred{};
    bool haveCred = false;
    CtxtHandle ctx{};
    bool haveCtx = false;
    SecPkgContext_StreamSizes sizes{};
    std::string serverName; // sent as the server name; empty for an IP address
    std::string cipherIn;   // received bytes not yet opened (a partial record stays here)
    std::string plainIn;    // opened bytes
    size_t plainPos = 0;    // next unread byte of plainIn
    std::string toSend;     // handshake bytes the transport must send now
    bool established = false;
    bool renegotiating = false; // a handshake the server asked for is under way
    bool closed = false;        // close_notify seen
    SECURITY_STATUS lastStatus = 0;
    DWORD protocolBits = 0; // SP_PROT_*_CLIENT of the first handshake (0: not known)
    std::string protocol; // "TLS 1.2", for the trace
    std::string cipher;   // "AES-256", for the trace
    std::string firstCertDer; // the certificate of the first handshake
};

// Takes credentials for TLS 1.2 and later (1.3 too where the system has it)
// and makes the first handshake message into toSend. `server` is the name
// the certificate must carry; an IP address is never sent as the name.
bool TlsBegin(TlsChannel* channel, const SspiApi* api, const char* server);
// Feeds received handshake bytes (none to go on with what is buffered).
// TlsDone: established, and bytes that came after the handshake are already
// opened into plainIn. TlsNeedMore: send toSend and feed more.
TlsStep TlsHandshake(TlsChannel* channel, const char* data, size_t length);
// After the handshake: feeds received bytes and opens every whole record
// into plainIn. What the server starts after the handshake is answered
// inside, through toSend, which the transport sends after every call: on
// TLS 1.3 its post-handshake messages (tickets, key updates), on TLS 1.2 a
// renegotiation, which fails when it presents another certificate than the
// first.
TlsStep TlsReceive(TlsChannel* channel, const char* data, size_t length);
// Seals `length` bytes into records appended to *out. False before the
// first handshake has ended, and while one the server started is under way
// (lastStatus SEC_I_RENEGOTIATE: seal once TlsHandshaking says no more).
bool TlsSeal(TlsChannel* channel, const char* data, size_t length, std::string* out);
// The server's certificate (free it with CertFreeCertificateContext), or null.
PCCERT_CONTEXT TlsServerCertificate(TlsChannel* channel);
// Whether a handshake is under way (the first, or one the server started):
// nothing can be sealed until it has ended.
inline bool TlsHandshaking(const TlsChannel* channel)
{
    return !channel->established || channel->renegotiating;
}
inline size_t TlsUnread(const TlsChannel* channel)
{
    return channel->plainIn.size() - channel->plainPos;
}
// Forgets the opened bytes not yet read; records not yet opened stay.
void TlsDropUnread(TlsChannel* channel);
// Frees the context and the credentials. Sends nothing.
void TlsReset(TlsChannel* channel);
