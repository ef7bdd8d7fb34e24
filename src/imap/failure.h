// Why a connection attempt failed, when there is more to say than that the
// server could not be reached: what the connect-failed box and the status
// tell the user.
#pragma once

#include <string>

enum ConnectFailReason {
    ReasonNone = 0,
    ReasonPinMismatch,    // the certificate is not the pinned one
    ReasonCertUntrusted,  // its issuer is not trusted
    ReasonCertName,       // its names do not match the server
    ReasonCertExpired,    // outside its validity period
    ReasonTls,            // the encrypted connection could not be made
    ReasonLoginDisabled,  // the server refuses LOGIN without encryption
    ReasonTlsSetting,     // "tls" in the file is not 0, 1 or 2
    ReasonPinSetting,     // "tlsFingerprint" in the file is not 64 hex digits
};

struct ConnectFailure {
    ConnectFailReason reason = ReasonNone;
    std::string fingerprint; // SHA-256 of the server's certificate, when one was seen
};

// A reason that a refused certificate gives: told once for each certificate.
inline bool IsCertificateRefusal(ConnectFailReason reason)
{
    return reason == ReasonPinMismatch || reason == ReasonCertUntrusted || reason == ReasonCertName ||
           reason == ReasonCertExpired;
}
