#include "tls/certcheck.h"

#include "net/address.h"

#include <bcrypt.h>
#include <string.h>

#include <vector>

namespace {

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

// The reasons found; the verdict is the first that applies, in this order.
struct Faults {
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
    const CERT_INFO* info = leaf->pCertInfo;
    PCERT_EXTENSION extension =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    if (!extension)
        return false;
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                             &size))
        return false;
    bool found = false;
    for (DWORD i = 0; i < names->cAltEntry && !found; i++) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
                entry.IPAddress.cbData == address.size() &&
                memcmp(entry.IPAddress.pbData, address.data(), address.size()) == 0;
    }
    LocalFree(names);
    return found;
}

// Runs the SSL policy over the chain for a server of that host name.
DWORD SslPolicyError(PCCERT_CHAIN_CONTEXT chain, const wchar_t* hostName, DWORD flags)
{
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl;
    memset(&ssl, 0, sizeof ssl);
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = const_cast<wchar_t*>(hostName);
    CERT_CHAIN_POLICY_PARA para;
    memset(&para, 0, sizeof para);
    para.cbSize = sizeof para;
    para.dwFlags = flags;
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
    else
        faults->untrusted = true;
}

void CheckChain(PCCERT_CONTEXT leaf, const char* server, Faults* faults)
{
    // The leaf's own store holds whatever else the server sent: the
    // intermediates. No revocation check and no URL retrieval: either could
    // reach the network for many seconds, and nothing here could stop it.
    LPSTR serverAuth[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA para;
    memset(&para, 0, sizeof para);
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = serverAuth;
    ChainHolder holder;
    if (!CertGetCertificateChain(nullptr, leaf, nullptr, leaf->hCertStore, &para,
                                 CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL |
                                     CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE,
                                 nullptr, &holder.chain) ||
        !holder.chain) {
        faults->untrusted = true;
        return;
    }
    // The chain's own status first: Wine's SSL policy lets a partial chain
    // pass (a leaf of an unknown CA, sent without its issuer).
    DWORD status = holder.chain->TrustStatus.dwErrorStatus;
    if (status & CERT_TRUST_IS_NOT_TIME_VALID)
        faults->expired = true;
    if (status & ~CERT_TRUST_IS_NOT_TIME_VALID)
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
    CheckChain(leaf, server ? server : "", &faults);
    if (report.fingerprint.empty() || faults.untrusted)
        report.verdict = CertUntrusted;
    else if (faults.nameMismatch)
        report.verdict = CertNameMismatch;
    else if (faults.expired)
        report.verdict = CertExpired;
    else
        report.verdict = CertAccepted;
    return report;
}
