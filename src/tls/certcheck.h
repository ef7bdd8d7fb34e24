// The check of the server's certificate, made by the plug-in itself: the
// system's TLS layer is told not to check it (under Wine it never does).
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>

enum CertVerdict {
    CertAccepted = 0,
    CertPinMismatch, // not the pinned certificate
    CertUntrusted,   // no chain to a trusted root
    CertNameMismatch, // not made out to the server's name or address
    CertExpired,     // outside its validity period
    CertPinInvalid,  // the pin is not 64 hex digits: every certificate is refused
};

struct CertReport {
    CertVerdict verdict = CertUntrusted;
    std::string subject, issuer; // for the trace
    std::string fingerprint;     // SHA-256 of the certificate, 64 upper-case hex digits
};

// A pin as 64 upper-case hex digits, colons and spaces dropped. False for
// anything that is not 64 hex digits.
bool NormalizeFingerprint(const char* text, std::string* hex64);

// `pin` is "tlsFingerprint" as written ("" for none). Without a pin the
// certificate must chain to a trusted root for server authentication,
// without any error in the chain, and carry the server's name (or, for an
// IP address, that address). With a valid pin it is accepted exactly when
// its fingerprint is the pinned one. No revocation check: it would reach the
// network from here.
CertReport CheckServerCertificate(PCCERT_CONTEXT leaf, const char* server, const char* pin);
