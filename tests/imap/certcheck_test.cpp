// The server certificate check against the test certificates that
// tests/tls/make-certs.sh makes (the tls_certs fixture also makes its CA
// trusted in this Wine prefix). Each certificate is loaded as a server would
// send it: the leaf alone, without its issuer.
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tls/certcheck.h"

namespace {

struct CertFree {
    void operator()(const CERT_CONTEXT* cert) const { CertFreeCertificateContext(cert); }
};
using Cert = std::unique_ptr<const CERT_CONTEXT, CertFree>;

std::string ReadText(const std::string& name)
{
    std::string path = std::string(QVPUSH_TLS_DIR) + "/" + name;
    std::string text;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return text;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, got);
    fclose(f);
    return text;
}

Cert LoadLeaf(const std::string& name)
{
    std::string pem = ReadText(name + ".pem");
    DWORD size = 0;
    if (pem.empty() ||
        !CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                              nullptr, &size, nullptr, nullptr))
        return nullptr;
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                              der.data(), &size, nullptr, nullptr))
        return nullptr;
    return Cert(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size));
}

// The fingerprint that openssl computed, as make-certs.sh wrote it.
std::string FileFingerprint(const std::string& name)
{
    std::string text = ReadText(name + ".sha256");
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

// A fingerprint as a user may paste it: lower case, pairs split by colons.
std::string AsPasted(const std::string& hex)
{
    std::string text;
    for (size_t i = 0; i < hex.size(); i++) {
        if (i > 0 && i % 2 == 0)
            text += ':';
        text += static_cast<char>(tolower(static_cast<unsigned char>(hex[i])));
    }
    return text;
}

const char* VerdictName(CertVerdict verdict)
{
    switch (verdict) {
    case CertAccepted: return "accepted";
    case CertPinMismatch: return "pin mismatch";
    case CertUntrusted: return "untrusted";
    case CertNameMismatch: return "name mismatch";
    case CertExpired: return "expired";
    case CertPinInvalid: return "pin invalid";
    }
    return "?";
}

class CertCheck : public ::testing::Test {
protected:
    // Reading an IPv6 literal goes through getaddrinfo, which wants Winsock.
    static void SetUpTestSuite()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    static void TearDownTestSuite() { WSACleanup(); }
};

struct VerdictCase {
    const char* leaf;
    const char* server;
    CertVerdict verdict;
};

TEST_F(CertCheck, VerdictWithoutPinByChainNameAndDate)
{
    const VerdictCase cases[] = {
        {"server", "localhost", CertAccepted},
        {"server", "wrong.example", CertNameMismatch},
        {"wrongname", "localhost", CertNameMismatch},
        {"selfsigned", "localhost", CertUntrusted},
        {"expired", "localhost", CertExpired},
        // The server sends only the leaf of a CA nobody trusts: the chain
        // ends short of a root, which Wine's SSL policy lets pass.
        {"otherca-leaf", "localhost", CertUntrusted},
        // Made out for client authentication only.
        {"clientonly", "localhost", CertUntrusted},
        // Addresses are compared with the certificate's IP-address entries.
        {"server", "127.0.0.1", CertAccepted},
        {"server", "::1", CertAccepted},
        {"noip", "127.0.0.1", CertNameMismatch},
        {"server", "127.0.0.2", CertNameMismatch},
        {"server", "::2", CertNameMismatch},
        // Several faults at once: untrusted before a wrong name, a wrong name
        // before an expired date.
        {"selfsigned", "wrong.example", CertUntrusted},
        {"otherca-leaf", "127.0.0.2", CertUntrusted},
        {"expired", "wrong.example", CertNameMismatch},
        {"expired", "127.0.0.2", CertNameMismatch},
    };
    for (const VerdictCase& c : cases) {
        SCOPED_TRACE(std::string(c.leaf) + " for " + c.server);
        Cert leaf = LoadLeaf(c.leaf);
        ASSERT_TRUE(leaf) << "cannot load " << c.leaf << ".pem from " << QVPUSH_TLS_DIR;
        CertReport report = CheckServerCertificate(leaf.get(), c.server, "");
        EXPECT_STREQ(VerdictName(c.verdict), VerdictName(report.verdict));
    }
}

TEST_F(CertCheck, PinDecidesAloneWhateverChainOrName)
{
    std::string selfsigned = FileFingerprint("selfsigned");
    std::string expired = FileFingerprint("expired");
    ASSERT_EQ(64u, selfsigned.size());
    ASSERT_EQ(64u, expired.size());
    struct PinCase {
        const char* leaf;
        const char* server;
        std::string pin;
        CertVerdict verdict;
    };
    const PinCase cases[] = {
        {"selfsigned", "localhost", AsPasted(selfsigned), CertAccepted},
        {"selfsigned", "127.0.0.2", selfsigned, CertAccepted},
        {"expired", "wrong.example", AsPasted(expired), CertAccepted},
        // A certificate that would verify, but is not the pinned one.
        {"server", "localhost", selfsigned, CertPinMismatch},
        {"otherca-leaf", "localhost", AsPasted(selfsigned), CertPinMismatch},
        {"server", "localhost", "xyz", CertPinInvalid},
        {"selfsigned", "localhost", selfsigned.substr(2), CertPinInvalid},
    };
    for (const PinCase& c : cases) {
        SCOPED_TRACE(std::string(c.leaf) + " for " + c.server + " pinned to \"" + c.pin + "\"");
        Cert leaf = LoadLeaf(c.leaf);
        ASSERT_TRUE(leaf);
        CertReport report = CheckServerCertificate(leaf.get(), c.server, c.pin.c_str());
        EXPECT_STREQ(VerdictName(c.verdict), VerdictName(report.verdict));
    }
}

TEST_F(CertCheck, ReportsFingerprintSubjectAndIssuer)
{
    for (const char* name : {"server", "noip", "wrongname", "expired", "selfsigned", "otherca-leaf",
                             "clientonly", "withurls"}) {
        SCOPED_TRACE(name);
        Cert leaf = LoadLeaf(name);
        ASSERT_TRUE(leaf);
        CertReport report = CheckServerCertificate(leaf.get(), "localhost", "");
        EXPECT_EQ(FileFingerprint(name), report.fingerprint);
    }
    Cert leaf = LoadLeaf("server");
    ASSERT_TRUE(leaf);
    CertReport report = CheckServerCertificate(leaf.get(), "localhost", "");
    EXPECT_NE(std::string::npos, report.subject.find("CN=localhost")) << report.subject;
    EXPECT_NE(std::string::npos, report.issuer.find("CN=qvpush test ca")) << report.issuer;
}

// The certificate names its issuer, an OCSP responder and a CRL on a
// loopback port where this test listens. A helper thread counts and closes
// every connection at once, so that a check that does fetch fails fast; the
// count is taken before the close that ends the fetch, so it is complete
// once the check has returned.
TEST_F(CertCheck, FetchesNothingTheCertificatePointsTo)
{
    int port = atoi(ReadText("withurls.port").c_str());
    ASSERT_GT(port, 0);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(INVALID_SOCKET, listener);
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<u_short>(port));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at))
        << "port " << port << " is taken (error " << WSAGetLastError() << ")";
    ASSERT_EQ(0, listen(listener, 16));
    std::atomic<int> connections{0};
    std::thread closer([&] {
        for (;;) {
            SOCKET s = accept(listener, nullptr, nullptr);
            if (s == INVALID_SOCKET)
                return; // the listener was closed
            connections++;
            closesocket(s);
        }
    });
    Cert leaf = LoadLeaf("withurls");
    CertReport report;
    if (leaf)
        report = CheckServerCertificate(leaf.get(), "localhost", "");
    int seen = connections;
    closesocket(listener);
    closer.join();
    ASSERT_TRUE(leaf);
    EXPECT_STREQ("accepted", VerdictName(report.verdict));
    EXPECT_EQ(0, seen) << "the check connected to a URL in the certificate";
}

TEST(NormalizeFingerprint, AcceptsExactly64HexDigitsIgnoringColonsSpacesAndCase)
{
    const std::string hex = "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF";
    struct Case {
        std::string text;
        bool valid;
    };
    const Case cases[] = {
        {hex, true},
        {AsPasted(hex), true},
        {" " + hex.substr(0, 32) + " " + hex.substr(32) + " ", true},
        {"", false},
        {"xyz", false},
        {hex.substr(1), false},
        {hex + "0", false},
        {hex.substr(1) + "G", false},
        {hex.substr(0, 32) + "-" + hex.substr(32), false},
        {std::string(64, ':'), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("\"" + c.text + "\"");
        std::string out;
        EXPECT_EQ(c.valid, NormalizeFingerprint(c.text.c_str(), &out));
        if (c.valid) {
            EXPECT_EQ(hex, out);
        }
    }
}

// Not a timed test: prints what the first check in a process costs (the
// chain engine starts up) and what a later one costs.
TEST_F(CertCheck, FirstAndLaterCheckTimes)
{
    Cert leaf = LoadLeaf("server");
    ASSERT_TRUE(leaf);
    LARGE_INTEGER frequency, t0, t1, t2;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&t0);
    CertReport first = CheckServerCertificate(leaf.get(), "localhost", "");
    QueryPerformanceCounter(&t1);
    CertReport later = CheckServerCertificate(leaf.get(), "localhost", "");
    QueryPerformanceCounter(&t2);
    EXPECT_EQ(CertAccepted, first.verdict);
    EXPECT_EQ(CertAccepted, later.verdict);
    double ms = 1000.0 / static_cast<double>(frequency.QuadPart);
    printf("certificate check: first %.1f ms, later %.1f ms\n",
           static_cast<double>(t1.QuadPart - t0.QuadPart) * ms,
           static_cast<double>(t2.QuadPart - t1.QuadPart) * ms);
}

} // namespace
