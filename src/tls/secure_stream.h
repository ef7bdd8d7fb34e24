// An encrypted stream over a connected socket: the handshake through the
// record layer, then the check of the server's certificate, made by the
// plug-in itself on a helper thread. A SecureStream exists only once both
// have passed: "encrypted but not verified" cannot be held, so nothing can
// be sent over a connection whose certificate was not accepted. Worker
// thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "net/stream.h"
#include "tls/certcheck.h"
#include "tls/record.h"

// What the secure stream is made for.
struct SecureTarget {
    std::string server; // the name the certificate must carry (an address is never sent as a name)
    std::string pin;    // "tlsFingerprint" as written; "" for none
    DWORD responseTimeoutMs = 0; // each of the server's handshake answers; 0: no limit
    // The certificate check gives up after this (the chain engine may wait
    // on a silent server without end), and only one check runs for a key (an
    // account) at a time in the process: an abandoned check may never end.
    DWORD checkDeadlineMs = 15000;
    std::string checkKey; // "" : no limit on checks at a time
};

enum SecureEnd {
    SecureMade,       // encrypted, and the certificate accepted
    SecureHandshakeFailed, // the handshake failed or the server did not answer
    SecureRefused,    // the certificate was checked and refused (report.verdict says why)
    SecureCheckLate,  // the check did not finish by its deadline, or one for the key still runs
    SecureStopped,    // the stop ended it
    SecureMessage,    // a thread message ended it: the worker serves it first
};

class SecureStream;

struct SecureOutcome {
    SecureEnd end = SecureHandshakeFailed;
    bool checked = false; // a certificate was checked: the report holds its verdict
    CertReport report;
    std::unique_ptr<SecureStream> stream; // only with SecureMade
};

// Runs the handshake over the plain stream's connection (every byte received
// on it before is dropped unread: on a STARTTLS connection it came in the
// clear, and anyone could have put it there), then checks the certificate.
SecureOutcome MakeSecure(PlainStream* plain, const SecureTarget& target, const WaitControl& control);

class SecureStream : public ByteStream {
public:
    ~SecureStream() override;
    const char* Peek(size_t* count) override;
    void Consume(size_t count) override;
    PullResult Pull() override;
    bool Send(const char* bytes, size_t count) override;
    bool LinesWaiting() override;
    // "TLS 1.2", "TLS 1.3": for the status and the connection test.
    const std::string& protocol() const { return channel_.protocol; }

private:
    friend SecureOutcome MakeSecure(PlainStream* plain, const SecureTarget& target, const WaitControl& control);
    SecureStream(Connection* connection, const Tracer& tracer);
    bool SendTokens();
    // The handshake, reading the server's flights from the plain stream.
    SecureEnd Handshake(PlainStream* plain, const SecureTarget& target, const WaitControl& control);

    TlsChannel channel_;
    std::vector<char> records_; // one receive: a whole record fits, kept for the connection's life
};
