// CERT_CHAIN_PARA declares its fields after RequestedUsage, the limit on the
// chain engine's URL fetches among them, only with this set before
// wincrypt.h comes in.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS

#include "tls/certcheck.h"

#include "net/address.h"

#include <bcrypt.h>
#include <wininet.h> // SECURITY_FLAG_IGNORE_REVOCATION, for the SSL policy
#include <stdio.h>
#include <string.h>

#include <vector>

namespace {

// What the chain engine may spend on the revocation fetches together (and
// on a fetch of a missing issuer) before it gives up on what it has not
// got: a revocation it could not learn is then unknown, which does not
// refuse. Windows keeps it; Wine does not, and the session's own deadline
// bounds the check there.
const DWORD UrlRetrievalLimitMs = 10000;

// A revocation the chain engine could not learn: no CRL point, or the
// server down or silent. Browsers accept such a certificate, and so do we.
const DWORD RevocationUnknown = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

// Frees a chain context on every way out.
struct ChainHolder {
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    ChainHolder() = default;
    ChainHolder(const ChainHolder&) = delete;
    ChainHolder& operator=(const ChainHolder&) = delete;
    ~ChainHolder()
    {
        if (chain)
            CertFreeCertificateChain(chain);
    }
};

// Frees what CryptDecodeObjectEx allocated, on every way out.
template <typename T> struct Decoded {
    T* value = nullptr;
    Decoded() = default;
    Decoded(const Decoded&) = delete;
    Decoded& operator=(const Decoded&) = delete;
    ~Decoded()
    {
        if (value)
            LocalFree(value);
    }
    bool Decode(LPCSTR type, const BYTE* data, DWORD size)
    {
        DWORD length = 0;
        return CryptDecodeObjectEx(X509_ASN_ENCODING, type, data, size, CRYPT_DECODE_ALLOC_FLAG, nullptr, &value,
                                   &length) &&
               value != nullptr;
    }
};

// The reasons found; the verdict is the first that applies, in this order.
struct Faults {
    bool revoked = false;
    bool untrusted = false;
    bool nameMismatch = false;
    bool expired = false;
};

std::string NameString(const CERT_NAME_BLOB* name)
{
    CERT_NAME_BLOB copy = *name;
    DWORD size = CertNameToStrA(X509_ASN_ENCODING, &copy, CERT_X500_NAME_STR, nullptr, 0);
    if (size <= 1)
        return std::string();
    std::string text(size, '\0');
    size = CertNameToStrA(X509_ASN_ENCODING, &copy, CERT_X500_NAME_STR, &text[0], size);
    text.resize(size > 0 ? size - 1 : 0);
    return text;
}

// Text of the certificate's own, for the trace and the box: in the ANSI
// code page, with control characters shown as '?' so that a name cannot
// break a line.
std::string Narrow(const wchar_t* text, size_t length)
{
    if (length == 0 || length > 0x7FFFFFFF)
        return std::string();
    int wide = static_cast<int>(length);
    int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, wide, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return std::string();
    std::string narrow(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, wide, &narrow[0], size, nullptr, nullptr);
    for (char& c : narrow) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    }
    return narrow;
}

std::string Narrow(const wchar_t* text)
{
    return text ? Narrow(text, wcslen(text)) : std::string();
}

void AddOnce(std::vector<std::string>* list, const std::string& item)
{
    if (item.empty())
        return;
    for (const std::string& there : *list) {
        if (there == item)
            return;
    }
    list->push_back(item);
}

// An iPAddress entry as text: dotted for IPv4; for IPv6 hex groups with the
// longest run of two or more zero groups (the first of equals) as "::",
// the way RFC 5952 writes it.
std::string AddressText(const BYTE* bytes, DWORD size)
{
    char text[48];
    if (size == 4) {
        snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
        return text;
    }
    if (size != 16)
        return std::string();
    unsigned groups[8];
    for (int i = 0; i < 8; i++)
        groups[i] = (static_cast<unsigned>(bytes[2 * i]) << 8) | bytes[2 * i + 1];
    int runStart = -1, runLength = 0;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            i++;
            continue;
        }
        int end = i;
        while (end < 8 && groups[end] == 0)
            end++;
        if (end - i >= 2 && end - i > runLength) {
            runStart = i;
            runLength = end - i;
        }
        i = end;
    }
    std::string address;
    for (int i = 0; i < 8; i++) {
        if (i == runStart) {
            address += "::";
            i += runLength - 1;
            continue;
        }
        if (!address.empty() && address.back() != ':')
            address += ':';
        snprintf(text, sizeof text, "%x", groups[i]);
        address += text;
    }
    return address;
}

PCERT_EXTENSION AltNameExtension(const CERT_INFO* info)
{
    PCERT_EXTENSION extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    return extension ? extension : CertFindExtension(szOID_SUBJECT_ALT_NAME, info->cExtension, info->rgExtension);
}

// The names a server's certificate is made out to, as the SSL policy reads
// them: the DNS names of the subject alternative names (and here their
// addresses), or without that extension the subject's common names.
void CollectNames(PCCERT_CONTEXT leaf, std::vector<std::string>* names)
{
    const CERT_INFO* info = leaf->pCertInfo;
    PCERT_EXTENSION extension = AltNameExtension(info);
    if (extension) {
        Decoded<CERT_ALT_NAME_INFO> alt;
        if (!alt.Decode(X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData))
            return;
        for (DWORD i = 0; i < alt.value->cAltEntry; i++) {
            const CERT_ALT_NAME_ENTRY& entry = alt.value->rgAltEntry[i];
            if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME)
                AddOnce(names, Narrow(entry.pwszDNSName));
            else if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS)
                AddOnce(names, AddressText(entry.IPAddress.pbData, entry.IPAddress.cbData));
        }
        return;
    }
    Decoded<CERT_NAME_INFO> subject;
    if (!subject.Decode(X509_UNICODE_NAME, info->Subject.pbData, info->Subject.cbData))
        return;
    for (DWORD i = 0; i < subject.value->cRDN; i++) {
        const CERT_RDN& rdn = subject.value->rgRDN[i];
        for (DWORD j = 0; j < rdn.cRDNAttr; j++) {
            const CERT_RDN_ATTR& attribute = rdn.rgRDNAttr[j];
            if (attribute.pszObjId && strcmp(attribute.pszObjId, szOID_COMMON_NAME) == 0) {
                // The decoded value may count its terminating zero.
                const wchar_t* value = reinterpret_cast<const wchar_t*>(attribute.Value.pbData);
                AddOnce(names, Narrow(value, value ? wcsnlen(value, attribute.Value.cbData / sizeof(wchar_t)) : 0));
            }
        }
    }
}

// The addresses a certificate gives for its issuer (caIssuers), its OCSP
// responder and its CRLs: where the chain engine goes for it. Read from
// the two extensions themselves, as CryptGetObjectUrl would read them,
// which keeps cryptnet.dll out of the plug-in's imports.
void CollectUrls(PCCERT_CONTEXT certificate, CertReport* report)
{
    const CERT_INFO* info = certificate->pCertInfo;
    PCERT_EXTENSION extension = CertFindExtension(szOID_AUTHORITY_INFO_ACCESS, info->cExtension, info->rgExtension);
    Decoded<CERT_AUTHORITY_INFO_ACCESS> access;
    if (extension && access.Decode(X509_AUTHORITY_INFO_ACCESS, extension->Value.pbData, extension->Value.cbData)) {
        for (DWORD i = 0; i < access.value->cAccDescr; i++) {
            const CERT_ACCESS_DESCRIPTION& description = access.value->rgAccDescr[i];
            bool known = description.pszAccessMethod && (strcmp(description.pszAccessMethod, szOID_PKIX_CA_ISSUERS) == 0 ||
                                                         strcmp(description.pszAccessMethod, szOID_PKIX_OCSP) == 0);
            if (known && description.AccessLocation.dwAltNameChoice == CERT_ALT_NAME_URL)
                AddOnce(&report->aiaUrls, Narrow(description.AccessLocation.pwszURL));
        }
    }
    extension = CertFindExtension(szOID_CRL_DIST_POINTS, info->cExtension, info->rgExtension);
    Decoded<CRL_DIST_POINTS_INFO> points;
    if (extension && points.Decode(X509_CRL_DIST_POINTS, extension->Value.pbData, extension->Value.cbData)) {
        for (DWORD i = 0; i < points.value->cDistPoint; i++) {
            const CRL_DIST_POINT_NAME& name = points.value->rgDistPoint[i].DistPointName;
            if (name.dwDistPointNameChoice != CRL_DIST_POINT_FULL_NAME)
                continue;
            for (DWORD j = 0; j < name.FullName.cAltEntry; j++) {
                const CERT_ALT_NAME_ENTRY& entry = name.FullName.rgAltEntry[j];
                if (entry.dwAltNameChoice == CERT_ALT_NAME_URL)
                    AddOnce(&report->crlUrls, Narrow(entry.pwszURL));
            }
        }
    }
}

std::string Sha256Hex(PCCERT_CONTEXT leaf)
{
    BYTE hash[32];
    DWORD size = sizeof hash;
    if (!CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, leaf->pbCertEncoded,
                               leaf->cbCertEncoded, hash, &size) ||
        size != sizeof hash)
        return std::string();
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (DWORD i = 0; i < size; i++) {
        hex += digits[hash[i] >> 4];
        hex += digits[hash[i] & 15];
    }
    return hex;
}

// The address bytes (4 or 16) of a server given as an IP literal, read the
// way the connection reads it; false for a host name.
bool ServerAddressBytes(const char* server, std::vector<BYTE>* bytes)
{
    ServerAddress address;
    if (!NumericAddress(server, 0, &address))
        return false;
    if (address.address.ss_family == AF_INET) {
        const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(&address.address);
        const BYTE* p = reinterpret_cast<const BYTE*>(&in->sin_addr);
        bytes->assign(p, p + 4);
    } else {
        const sockaddr_in6* in6 = reinterpret_cast<const sockaddr_in6*>(&address.address);
        const BYTE* p = reinterpret_cast<const BYTE*>(&in6->sin6_addr);
        bytes->assign(p, p + 16);
    }
    return true;
}

// Whether an iPAddress entry of the subject alternative names is exactly
// that address. The system's SSL policy cannot be asked: under Wine it
// compares DNS names only.
bool CertificateHasAddress(PCCERT_CONTEXT leaf, const std::vector<BYTE>& address)
{
    PCERT_EXTENSION extension = AltNameExtension(leaf->pCertInfo);
    Decoded<CERT_ALT_NAME_INFO> names;
    if (!extension || !names.Decode(X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData))
        return false;
    for (DWORD i = 0; i < names.value->cAltEntry; i++) {
        const CERT_ALT_NAME_ENTRY& entry = names.value->rgAltEntry[i];
        if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == address.size() &&
            memcmp(entry.IPAddress.pbData, address.data(), address.size()) == 0)
            return true;
    }
    return false;
}

// Runs the SSL policy over the chain for a server of that host name. The
// revocation is judged from the chain's status, not here: the policy is
// told to pass over it, both a revoked certificate and an unknown status
// (which it would refuse as CERT_E_REVOCATION_FAILURE, and stop before the
// name).
DWORD SslPolicyError(PCCERT_CHAIN_CONTEXT chain, const wchar_t* hostName, DWORD flags)
{
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl;
    memset(&ssl, 0, sizeof ssl);
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = SECURITY_FLAG_IGNORE_REVOCATION;
    ssl.pwszServerName = const_cast<wchar_t*>(hostName);
    CERT_CHAIN_POLICY_PARA para;
    memset(&para, 0, sizeof para);
    para.cbSize = sizeof para;
    para.dwFlags = flags | CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
    para.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status;
    memset(&status, 0, sizeof status);
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &para, &status))
        return static_cast<DWORD>(CERT_E_UNTRUSTEDROOT);
    return status.dwError;
}

void NotePolicyError(DWORD error, Faults* faults)
{
    if (error == 0)
        return;
    if (error == static_cast<DWORD>(CERT_E_CN_NO_MATCH))
        faults->nameMismatch = true;
    else if (error == static_cast<DWORD>(CERT_E_EXPIRED))
        faults->expired = true;
    else if (error == static_cast<DWORD>(CERT_E_REVOKED))
        faults->revoked = true;
    else
        faults->untrusted = true;
}

void CheckChain(PCCERT_CONTEXT leaf, const char* server, Faults* faults, CertReport* report)
{
    // The chain is built as Windows builds it for any program: the leaf's
    // own store holds whatever else the server sent (the intermediates); an
    // issuer it did not send is fetched from its AIA address, a root this
    // machine has not used yet from the automatic root update; and the CRLs
    // (or OCSP answers) of every certificate below the root are fetched.
    // All of it may take long, and under Wine without end: this runs on a
    // helper thread that nobody waits for beyond a deadline.
    LPSTR serverAuth[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA para;
    memset(&para, 0, sizeof para);
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = serverAuth;
    para.dwUrlRetrievalTimeout = UrlRetrievalLimitMs;
    const DWORD flags = CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT;
    ChainHolder holder;
    if (!CertGetCertificateChain(nullptr, leaf, nullptr, leaf->hCertStore, &para, flags, nullptr, &holder.chain) ||
        !holder.chain) {
        CollectUrls(leaf, report);
        faults->untrusted = true;
        return;
    }
    for (DWORD i = 0; i < holder.chain->cChain; i++) {
        const CERT_SIMPLE_CHAIN* simple = holder.chain->rgpChain[i];
        for (DWORD j = 0; j < simple->cElement; j++)
            CollectUrls(simple->rgpElement[j]->pCertContext, report);
    }
    // The chain's own status first: Wine's SSL policy lets a partial chain
    // pass (a leaf of an unknown CA, sent without its issuer and with no
    // address to fetch it from).
    DWORD status = holder.chain->TrustStatus.dwErrorStatus;
    if (status & RevocationUnknown)
        report->revocationUnknown = true;
    if (status & CERT_TRUST_IS_REVOKED)
        faults->revoked = true;
    if (status & CERT_TRUST_IS_NOT_TIME_VALID)
        faults->expired = true;
    if (status & ~(CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_REVOKED | RevocationUnknown))
        faults->untrusted = true;

    // An address is compared here. The SSL policy has nothing to add then:
    // without a name to check it reports only what the chain's status has
    // already refused.
    std::vector<BYTE> address;
    if (ServerAddressBytes(server, &address)) {
        if (!CertificateHasAddress(leaf, address))
            faults->nameMismatch = true;
        return;
    }
    std::wstring host;
    int length = MultiByteToWideChar(CP_ACP, 0, server, -1, nullptr, 0);
    if (length > 0) {
        host.resize(length);
        MultiByteToWideChar(CP_ACP, 0, server, -1, &host[0], length);
    }
    NotePolicyError(SslPolicyError(holder.chain, host.c_str(), 0), faults);
    // The policy stops at the first fault it meets, and Wine's checks the
    // name only for an otherwise good chain. An untrusted chain is refused
    // as that whatever the name; an expired one still needs the name
    // checked, since a wrong name comes first.
    if (faults->expired && !faults->untrusted && !faults->nameMismatch) {
        DWORD error = SslPolicyError(holder.chain, host.c_str(),
                                     CERT_CHAIN_POLICY_IGNORE_ALL_NOT_TIME_VALID_FLAGS);
        if (error == static_cast<DWORD>(CERT_E_CN_NO_MATCH))
            faults->nameMismatch = true;
    }
}

} // namespace

bool NormalizeFingerprint(const char* text, std::string* hex64)
{
    std::string hex;
    for (const char* p = text; p && *p; p++) {
        char c = *p;
        if (c == ':' || c == ' ')
            continue;
        if (c >= 'a' && c <= 'f')
            c = static_cast<char>(c - 'a' + 'A');
        bool digit = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
        if (!digit || hex.size() == 64)
            return false;
        hex += c;
    }
    if (hex.size() != 64)
        return false;
    *hex64 = hex;
    return true;
}

CertReport CheckServerCertificate(PCCERT_CONTEXT leaf, const char* server, const char* pin)
{
    CertReport report;
    if (!leaf || !leaf->pCertInfo)
        return report;
    report.subject = NameString(&leaf->pCertInfo->Subject);
    report.issuer = NameString(&leaf->pCertInfo->Issuer);
    report.fingerprint = Sha256Hex(leaf);
    report.notBefore = leaf->pCertInfo->NotBefore;
    report.notAfter = leaf->pCertInfo->NotAfter;
    CollectNames(leaf, &report.names);

    if (pin && *pin) {
        std::string pinned;
        if (!NormalizeFingerprint(pin, &pinned))
            report.verdict = CertPinInvalid;
        else if (!report.fingerprint.empty() && report.fingerprint == pinned)
            report.verdict = CertAccepted;
        else
            report.verdict = CertPinMismatch;
        return report;
    }

    Faults faults;
    CheckChain(leaf, server ? server : "", &faults, &report);
    // Revoked first: its CA has said no, and no other advice (such as
    // pinning) may be offered for it.
    if (faults.revoked)
        report.verdict = CertRevoked;
    else if (report.fingerprint.empty() || faults.untrusted)
        report.verdict = CertUntrusted;
    else if (faults.nameMismatch)
        report.verdict = CertNameMismatch;
    else if (faults.expired)
        report.verdict = CertExpired;
    else
        report.verdict = CertAccepted;
    return report;
}
