// The server certificate check against the test certificates that
// tests/tls/make-certs.sh makes (the tls_certs fixture also makes its CA
// trusted in this Wine prefix). Each certificate is loaded as a server would
// send it: the leaf alone, without its issuer, unless a case sends the
// intermediate with it.
//
// Some certificates name their issuer and CRLs on a loopback port (the one
// in withurls.port), where a case either serves them over HTTP from this
// process, holds the requests without an answer, or listens not at all.
// Wine keeps what it fetched, and a revocation result by serial, in the
// prefix: every case that reaches the network starts with those caches
// cleared, and judges the first check of its process (each test is a
// process of its own).
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/helper_thread.h"
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

std::vector<BYTE> PemToDer(const std::string& pem)
{
    DWORD size = 0;
    if (pem.empty() ||
        !CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                              nullptr, &size, nullptr, nullptr))
        return std::vector<BYTE>();
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                              der.data(), &size, nullptr, nullptr))
        return std::vector<BYTE>();
    der.resize(size);
    return der;
}

Cert LoadLeaf(const std::string& name)
{
    std::vector<BYTE> der = PemToDer(ReadText(name + ".pem"));
    if (der.empty())
        return nullptr;
    return Cert(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
}

// The leaf as SChannel hands it over when the server sent `inter` as well:
// both in the leaf's own store.
Cert LoadLeafWith(const std::string& name, const std::string& inter)
{
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (!store)
        return nullptr;
    std::vector<BYTE> leafDer = PemToDer(ReadText(name + ".pem"));
    std::vector<BYTE> interDer = PemToDer(ReadText(inter + ".pem"));
    PCCERT_CONTEXT leaf = nullptr;
    if (!leafDer.empty() && !interDer.empty() &&
        CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, interDer.data(),
                                         static_cast<DWORD>(interDer.size()), CERT_STORE_ADD_ALWAYS, nullptr))
        CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, leafDer.data(),
                                         static_cast<DWORD>(leafDer.size()), CERT_STORE_ADD_ALWAYS, &leaf);
    // The store lives on while a certificate of it does.
    CertCloseStore(store, 0);
    return Cert(leaf);
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
    case CertRevoked: return "revoked";
    }
    return "?";
}

int UrlPort()
{
    return atoi(ReadText("withurls.port").c_str());
}

std::string Url(const char* path)
{
    return "http://127.0.0.1:" + std::to_string(UrlPort()) + path;
}

// Removes a folder and everything in it; true when it is gone.
bool RemoveTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring path = folder + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
    return GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES;
}

// Forgets what earlier checks of this prefix fetched and concluded: the
// chain engine's URL cache (CryptnetUrlCache, which under Wine also keeps
// revocation results by serial) and the entries of the system's URL cache.
bool ClearUrlCaches()
{
    wchar_t folder[MAX_PATH];
    DWORD length = ExpandEnvironmentStringsW(L"%USERPROFILE%\\AppData\\LocalLow\\Microsoft\\CryptnetUrlCache",
                                             folder, MAX_PATH);
    if (length == 0 || length > MAX_PATH)
        return false;
    for (const char* path : {"/inter.cer", "/inter.crl", "/ca.crl", "/ca.cer", "/ocsp"})
        DeleteUrlCacheEntryA(Url(path).c_str());
    return RemoveTree(folder);
}

// A small HTTP server on the certificates' port: it serves files by path,
// holds the requests for some paths without ever answering them, and
// answers anything else with 404. It records every request's path.
class UrlServer {
public:
    ~UrlServer() { Stop(); }

    void Serve(const std::string& path, const std::string& body) { files_[path] = body; }
    void Hold(const std::string& suffix) { held_suffix_ = suffix; }

    bool Start()
    {
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (listener_ == INVALID_SOCKET)
            return false;
        sockaddr_in at = {};
        at.sin_family = AF_INET;
        at.sin_port = htons(static_cast<u_short>(UrlPort()));
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(listener_, 16) != 0) {
            closesocket(listener_);
            listener_ = INVALID_SOCKET;
            return false;
        }
        thread_ = std::thread([this] { Run(); });
        return true;
    }

    // Closes the held connections unanswered, and every later one at once.
    void Release()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        for (SOCKET s : held_)
            closesocket(s);
        held_.clear();
    }

    void Stop()
    {
        if (listener_ != INVALID_SOCKET) {
            closesocket(listener_);
            listener_ = INVALID_SOCKET;
        }
        if (thread_.joinable())
            thread_.join();
        Release();
    }

    std::vector<std::string> Requests()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

    // Waits until a request for the path has come.
    bool WaitForRequest(const std::string& path, std::chrono::milliseconds deadline)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return seen_.wait_for(lock, deadline, [&] {
            for (const std::string& r : requests_)
                if (r == path)
                    return true;
            return false;
        });
    }

private:
    void Run()
    {
        for (;;) {
            SOCKET s = accept(listener_, nullptr, nullptr);
            if (s == INVALID_SOCKET)
                return; // the listener was closed
            std::string request;
            char buffer[2048];
            while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
                int got = recv(s, buffer, sizeof buffer, 0);
                if (got <= 0)
                    break;
                request.append(buffer, got);
            }
            // "GET /path HTTP/1.1"
            std::string path;
            size_t first = request.find(' ');
            size_t second = first == std::string::npos ? first : request.find(' ', first + 1);
            if (second != std::string::npos)
                path = request.substr(first + 1, second - first - 1);
            std::unique_lock<std::mutex> lock(mutex_);
            requests_.push_back(path);
            seen_.notify_all();
            bool hold = !released_ && !held_suffix_.empty() && path.size() >= held_suffix_.size() &&
                        path.compare(path.size() - held_suffix_.size(), held_suffix_.size(), held_suffix_) == 0;
            if (hold) {
                held_.push_back(s);
                continue;
            }
            lock.unlock();
            std::map<std::string, std::string>::const_iterator file = files_.find(path);
            std::string answer;
            if (released_) {
                // no answer at all
            } else if (file != files_.end()) {
                answer = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                         std::to_string(file->second.size()) + "\r\nConnection: close\r\n\r\n" + file->second;
            } else {
                answer = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            }
            if (!answer.empty())
                send(s, answer.data(), static_cast<int>(answer.size()), 0);
            shutdown(s, SD_SEND);
            closesocket(s);
        }
    }

    SOCKET listener_ = INVALID_SOCKET;
    std::thread thread_;
    std::map<std::string, std::string> files_; // written before Start only
    std::string held_suffix_;                  // likewise
    std::mutex mutex_;
    std::condition_variable seen_;
    std::vector<std::string> requests_; // under mutex_
    std::vector<SOCKET> held_;          // under mutex_
    bool released_ = false;             // under mutex_
};

bool Contains(const std::vector<std::string>& list, const std::string& item)
{
    for (const std::string& s : list)
        if (s == item)
            return true;
    return false;
}

std::string Joined(const std::vector<std::string>& list)
{
    std::string text;
    for (const std::string& s : list)
        text += (text.empty() ? "" : ", ") + s;
    return text;
}

// A check on a helper thread as the session starts it (with its stack
// reservation, which the chain engine's fetches must fit in), which may
// outlive the test: all it touches is its own.
struct DetachedCheck {
    Cert leaf;
    std::string server;
    CertReport report;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~DetachedCheck() { CloseHandle(done); }
};

DWORD WINAPI RunDetachedCheck(LPVOID parameter)
{
    std::shared_ptr<DetachedCheck>* hold = static_cast<std::shared_ptr<DetachedCheck>*>(parameter);
    DetachedCheck& check = **hold;
    check.report = CheckServerCertificate(check.leaf.get(), check.server.c_str(), "");
    SetEvent(check.done);
    delete hold;
    return 0;
}

std::shared_ptr<DetachedCheck> StartCheck(Cert leaf, const char* server)
{
    std::shared_ptr<DetachedCheck> check = std::make_shared<DetachedCheck>();
    check->leaf = std::move(leaf);
    check->server = server;
    std::shared_ptr<DetachedCheck>* hold = new std::shared_ptr<DetachedCheck>(check);
    HANDLE thread = StartHelperThread(RunDetachedCheck, hold);
    if (!thread) {
        delete hold;
        return nullptr;
    }
    CloseHandle(thread);
    return check;
}

// The report of a check on a helper thread, which must end within a minute.
CertReport CheckOnHelperThread(Cert leaf, const char* server)
{
    std::shared_ptr<DetachedCheck> check = StartCheck(std::move(leaf), server);
    if (!check) {
        ADD_FAILURE() << "no helper thread";
        return CertReport();
    }
    if (WaitForSingleObject(check->done, 60000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the check did not end within a minute";
        return CertReport();
    }
    return check->report;
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
        // Without alternative names, the subject's common name counts.
        {"cnonly", "localhost", CertAccepted},
        {"cnonly", "wrong.example", CertNameMismatch},
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
                             "clientonly", "withurls", "cnonly"}) {
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

// What the box shows for a name mismatch: every DNS name and address the
// certificate holds (its common name only when it has neither), pinned or
// not, trusted or not.
TEST_F(CertCheck, ReportsTheNamesTheCertificateHolds)
{
    struct Case {
        const char* leaf;
        const char* pin;
        std::vector<std::string> names;
    };
    const std::string selfsignedPin = FileFingerprint("selfsigned");
    const Case cases[] = {
        {"server", "", {"localhost", "127.0.0.1", "::1"}},
        {"noip", "", {"localhost"}},
        {"wrongname", "", {"wrong.example"}},
        {"cnonly", "", {"localhost"}},
        {"otherca-leaf", "", {"localhost", "127.0.0.1"}},
        {"selfsigned", selfsignedPin.c_str(), {"localhost", "127.0.0.1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.leaf);
        Cert leaf = LoadLeaf(c.leaf);
        ASSERT_TRUE(leaf);
        CertReport report = CheckServerCertificate(leaf.get(), "other.example", c.pin);
        EXPECT_EQ(Joined(c.names), Joined(report.names));
    }
}

// What the box shows for an expired certificate: its validity period, read
// back here as UTC calendar dates that openssl was given.
TEST_F(CertCheck, ReportsTheValidityPeriod)
{
    Cert leaf = LoadLeaf("expired");
    ASSERT_TRUE(leaf);
    CertReport report = CheckServerCertificate(leaf.get(), "localhost", "");
    EXPECT_STREQ("expired", VerdictName(report.verdict));
    SYSTEMTIME from = {}, to = {};
    ASSERT_TRUE(FileTimeToSystemTime(&report.notBefore, &from));
    ASSERT_TRUE(FileTimeToSystemTime(&report.notAfter, &to));
    char text[64];
    snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u ~ %04u-%02u-%02u %02u:%02u", from.wYear, from.wMonth,
             from.wDay, from.wHour, from.wMinute, to.wYear, to.wMonth, to.wDay, to.wHour, to.wMinute);
    EXPECT_STREQ("2020-01-01 00:00 ~ 2021-01-01 00:00", text);
}

// The trace lists where the chain engine may go: the AIA addresses (issuer
// and OCSP responder) and the CRL points of the chain's certificates. The
// port stays closed here, so that the fetches fail at once.
TEST_F(CertCheck, ReportsTheChainsAiaAndCrlAddresses)
{
    struct Case {
        const char* leaf;
        std::string aia, crl;
    };
    const Case cases[] = {
        {"withurls", Url("/ca.cer") + ", " + Url("/ocsp"), Url("/ca.crl")},
        {"server", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.leaf);
        Cert leaf = LoadLeaf(c.leaf);
        ASSERT_TRUE(leaf);
        CertReport report = CheckServerCertificate(leaf.get(), "localhost", "");
        EXPECT_EQ(c.aia, Joined(report.aiaUrls));
        EXPECT_EQ(c.crl, Joined(report.crlUrls));
    }
}

// A pinned certificate is taken by its fingerprint alone: whatever its
// issuer and CRL addresses, nothing is fetched. A helper thread counts and
// closes every connection to them at once, so that a check that does fetch
// fails fast; the count is taken before the close that ends the fetch, so
// it is complete once the check has returned.
TEST_F(CertCheck, PinnedCertificateFetchesNothingItPointsTo)
{
    ASSERT_TRUE(ClearUrlCaches());
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(INVALID_SOCKET, listener);
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<u_short>(UrlPort()));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at))
        << "port " << UrlPort() << " is taken (error " << WSAGetLastError() << ")";
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
    CertReport reports[2];
    const char* names[2] = {"withurls", "fetched"};
    bool loaded = true;
    for (int i = 0; i < 2; i++) {
        Cert leaf = LoadLeaf(names[i]);
        loaded = loaded && leaf;
        if (leaf)
            reports[i] = CheckServerCertificate(leaf.get(), "localhost", FileFingerprint(names[i]).c_str());
    }
    int seen = connections;
    closesocket(listener);
    closer.join();
    ASSERT_TRUE(loaded);
    for (int i = 0; i < 2; i++) {
        SCOPED_TRACE(names[i]);
        EXPECT_STREQ("accepted", VerdictName(reports[i].verdict));
        EXPECT_EQ("", Joined(reports[i].aiaUrls) + Joined(reports[i].crlUrls));
    }
    EXPECT_EQ(0, seen) << "the check connected to a URL in a pinned certificate";
}

// A server that sends its leaf without the intermediate: the chain engine
// fetches the intermediate from the leaf's AIA address, then the CRLs of
// both, and the leaf is good.
TEST_F(CertCheck, MissingIntermediateIsFetchedFromItsAiaAddress)
{
    ASSERT_TRUE(ClearUrlCaches());
    UrlServer server;
    server.Serve("/inter.cer", ReadText("inter.cer"));
    server.Serve("/inter.crl", ReadText("inter.crl"));
    server.Serve("/ca.crl", ReadText("ca.crl"));
    ASSERT_TRUE(server.Start()) << "port " << UrlPort() << " is taken";
    Cert leaf = LoadLeaf("fetched");
    ASSERT_TRUE(leaf);
    CertReport report = CheckOnHelperThread(std::move(leaf), "localhost");
    std::vector<std::string> requests = server.Requests();
    EXPECT_STREQ("accepted", VerdictName(report.verdict));
    EXPECT_TRUE(Contains(requests, "/inter.cer")) << "asked for: " << Joined(requests);
    EXPECT_FALSE(report.revocationUnknown) << "both CRLs were there; asked for: " << Joined(requests);
    EXPECT_EQ(Url("/inter.cer"), Joined(report.aiaUrls));
    EXPECT_EQ(Url("/inter.crl") + ", " + Url("/ca.crl"), Joined(report.crlUrls));
}

// A leaf its issuer's CRL lists is refused as revoked, although its chain,
// name and dates are good.
TEST_F(CertCheck, LeafItsCrlListsIsRefusedAsRevoked)
{
    ASSERT_TRUE(ClearUrlCaches());
    UrlServer server;
    server.Serve("/inter.cer", ReadText("inter.cer"));
    server.Serve("/inter.crl", ReadText("inter.crl"));
    server.Serve("/ca.crl", ReadText("ca.crl"));
    ASSERT_TRUE(server.Start()) << "port " << UrlPort() << " is taken";
    Cert leaf = LoadLeafWith("revoked", "inter");
    ASSERT_TRUE(leaf);
    CertReport report = CheckOnHelperThread(std::move(leaf), "localhost");
    std::vector<std::string> requests = server.Requests();
    EXPECT_STREQ("revoked", VerdictName(report.verdict));
    EXPECT_TRUE(Contains(requests, "/inter.crl")) << "asked for: " << Joined(requests);
    // Revoked counts whatever else is wrong. Wine would take its own
    // earlier result for this serial as good: forget it first.
    ASSERT_TRUE(ClearUrlCaches());
    Cert again = LoadLeafWith("revoked", "inter");
    ASSERT_TRUE(again);
    EXPECT_STREQ("revoked", VerdictName(CheckServerCertificate(again.get(), "wrong.example", "").verdict));
}

// Revocation that cannot be learned does not refuse, as browsers do not:
// a certificate without a CRL point, and a CRL server that is down. Nor
// does it hide a wrong name.
TEST_F(CertCheck, RevocationThatCannotBeLearnedIsAcceptedAndSaidSo)
{
    struct Case {
        const char* name;
        const char* leaf;
        const char* inter; // sent with the leaf; nullptr for none
        const char* server;
        CertVerdict verdict;
    };
    const Case cases[] = {
        {"no CRL point", "server", nullptr, "localhost", CertAccepted},
        {"CRL server down", "fetched", "inter", "localhost", CertAccepted},
        {"no CRL point, wrong name", "server", nullptr, "wrong.example", CertNameMismatch},
        {"CRL server down, wrong name", "fetched", "inter", "wrong.example", CertNameMismatch},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(ClearUrlCaches());
        Cert leaf = c.inter ? LoadLeafWith(c.leaf, c.inter) : LoadLeaf(c.leaf);
        ASSERT_TRUE(leaf);
        CertReport report = CheckOnHelperThread(std::move(leaf), c.server);
        EXPECT_STREQ(VerdictName(c.verdict), VerdictName(report.verdict));
        EXPECT_TRUE(report.revocationUnknown);
    }
}

// Whether this process runs under Wine rather than Windows.
bool UnderWine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// A CRL server that accepts and never answers. Windows stops at the 10 s
// the check allows for all its fetches and accepts, revocation unknown.
// Wine ignores that limit: the check does not return at all while the
// server holds the connection, which is why the session bounds the check
// with a deadline of its own. Once the server lets go, the check ends, and
// accepts with revocation unknown.
TEST_F(CertCheck, CrlServerThatNeverAnswersHoldsTheCheck)
{
    const bool wine = UnderWine();
    ASSERT_TRUE(ClearUrlCaches());
    UrlServer server;
    server.Hold(".crl");
    ASSERT_TRUE(server.Start()) << "port " << UrlPort() << " is taken";
    Cert leaf = LoadLeafWith("fetched", "inter");
    ASSERT_TRUE(leaf);
    ULONGLONG started = GetTickCount64();
    std::shared_ptr<DetachedCheck> check = StartCheck(std::move(leaf), "localhost");
    ASSERT_TRUE(check);
    ASSERT_TRUE(server.WaitForRequest("/inter.crl", std::chrono::seconds(30)))
        << "the check never asked for the CRL; asked for: " << Joined(server.Requests());
    if (wine) {
        // Twice the session's deadline of 15 s, counted from the start.
        DWORD waited = WaitForSingleObject(check->done, 30000);
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), waited)
            << "the check returned by itself after " << GetTickCount64() - started << " ms";
        server.Release();
    }
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(check->done, 60000))
        << "the check did not end " << (wine ? "after the server let go" : "within the limit");
    if (!wine) {
        EXPECT_LT(GetTickCount64() - started, 15000u) << "the 10 s limit of the fetches was not kept";
    }
    EXPECT_STREQ("accepted", VerdictName(check->report.verdict));
    EXPECT_TRUE(check->report.revocationUnknown);
    printf("CRL server silent: the check ended %llu ms after it started\n",
           static_cast<unsigned long long>(GetTickCount64() - started));
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
