// Why a connection attempt failed, when there is more to say than that the
// server could not be reached: what the connect-failed box and the status
// tell the user.
#pragma once

#include <stdint.h>

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
    ReasonCertRevoked,    // its issuer has revoked it
    ReasonCertCheckLate,  // the check did not finish in time (or one still runs for the account)
};

struct ConnectFailure {
    ConnectFailReason reason = ReasonNone;
    std::string fingerprint; // SHA-256 of the server's certificate, when one was seen
    // What the certificate says of itself, when one was checked: the names
    // it is made out to, comma-separated, its subject and issuer, and its
    // validity period (FILETIME values, UTC; 0 when not known).
    std::string names;
    std::string subject, issuer; // as the certificate names them
    uint64_t validFrom = 0;
    uint64_t validTo = 0;
};

// A reason that a refused certificate gives: told once for each certificate.
inline bool IsCertificateRefusal(ConnectFailReason reason)
{
    return reason == ReasonPinMismatch || reason == ReasonCertUntrusted || reason == ReasonCertName ||
           reason == ReasonCertExpired || reason == ReasonCertRevoked;
}
