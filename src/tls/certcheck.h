// The check of the server's certificate, made by the plug-in itself: the
// system's TLS layer is told not to check it (under Windows it would not
// know a pinned one; under Wine it never checks).
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

enum CertVerdict {
    CertAccepted = 0,
    CertPinMismatch, // not the pinned certificate
    CertUntrusted,   // no chain to a trusted root
    CertNameMismatch, // not made out to the server's name or address
    CertExpired,     // outside its validity period
    CertPinInvalid,  // the pin is not 64 hex digits: every certificate is refused
    CertRevoked,     // its issuer (or one above it) has revoked it
};

struct CertReport {
    CertVerdict verdict = CertUntrusted;
    std::string subject, issuer; // for the trace
    std::string fingerprint;     // SHA-256 of the certificate, 64 upper-case hex digits
    // The revocation of some certificate of the chain could not be learned
    // (no CRL point, its server down or silent): not a reason to refuse.
    // Set whatever the verdict; never for a pinned certificate.
    bool revocationUnknown = false;
    // Where the chain engine may go for the chain's certificates: the
    // issuers' (caIssuers) and OCSP addresses of the Authority Information
    // Access, and the CRL distribution points, each once, in chain order.
    // None for a pinned certificate, which is never looked up.
    std::vector<std::string> aiaUrls, crlUrls;
    // The names the certificate is made out to: its DNS names and IP
    // addresses (as text), or without either its subject's common name.
    std::vector<std::string> names;
    // Its validity period, UTC.
    FILETIME notBefore = {0, 0}, notAfter = {0, 0};
};

// A pin as 64 upper-case hex digits, colons and spaces dropped. False for
// anything that is not 64 hex digits.
bool NormalizeFingerprint(const char* text, std::string* hex64);

// `pin` is "tlsFingerprint" as written ("" for none). With a valid pin the
// certificate is accepted exactly when its fingerprint is the pinned one:
// no chain, no revocation, no network. Without a pin the chain is built as
// Windows builds it: missing issuers fetched from their AIA addresses, and
// the revocation of every certificate below the root checked, which may
// reach the network for as long as the system lets it (Windows: 10 s for
// the revocation fetches together, a fetched issuer besides; Wine: without
// end). Run it on a thread that nobody waits for beyond a deadline of its
// own. It must chain to a trusted root for server
// authentication, without any error in the chain, not be revoked, and carry
// the server's name (or, for an IP address, that address).
CertReport CheckServerCertificate(PCCERT_CONTEXT leaf, const char* server, const char* pin);
