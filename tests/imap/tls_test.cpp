// The TLS record layer over a scripted SSPI. The fake frames its "records"
// as TLS does (a type byte, two version bytes, two length bytes, then the
// payload), "encrypts" by XOR with a one-byte check sum as the trailer, and
// fills the buffers the way SChannel does: DecryptMessage opens one record in
// place, points DATA into the caller's bytes and counts the unconsumed tail in
// EXTRA; InitializeSecurityContext takes whole records only, follows a script
// of legs, and reports what it left in an EXTRA input buffer whose pointer it
// leaves unset, as Wine does.
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>

#include <deque>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tls/record.h"

namespace {

const unsigned char ApplicationRecord = 23;
const unsigned char AlertRecord = 21;
const unsigned char HandshakeRecord = 22;
const unsigned char XorKey = 0x5A;

unsigned char CheckSum(const char* plain, size_t length)
{
    unsigned sum = 0xA5;
    for (size_t i = 0; i < length; ++i)
        sum += static_cast<unsigned char>(plain[i]);
    return static_cast<unsigned char>(sum);
}

// A record as the fake server sends it.
std::string Record(unsigned char type, const std::string& plain)
{
    size_t length = plain.size() + 1;
    std::string record;
    record += static_cast<char>(type);
    record += "\x03\x03";
    record += static_cast<char>(length >> 8);
    record += static_cast<char>(length & 0xFF);
    for (char c : plain)
        record += static_cast<char>(c ^ XorKey);
    record += static_cast<char>(CheckSum(plain.data(), plain.size()));
    return record;
}

std::string Data(const std::string& plain)
{
    return Record(ApplicationRecord, plain);
}

// A post-handshake message: DecryptMessage answers it with SEC_I_RENEGOTIATE,
// together with the plaintext it carries, as Windows does for a TLS 1.3
// session ticket that shares a call with application data. The same record
// stands for a TLS 1.2 HelloRequest when the plaintext is empty.
std::string Ticket(const std::string& plain = std::string())
{
    return Record(HandshakeRecord, plain);
}

// A handshake flight of the server, which only InitializeSecurityContext reads.
std::string Flight(const std::string& name)
{
    return Record(HandshakeRecord, name);
}

// How many of the whole records in the bytes are of the type.
int CountRecords(const std::string& bytes, unsigned char type)
{
    int count = 0;
    size_t at = 0;
    while (bytes.size() - at >= 5) {
        size_t length = (static_cast<size_t>(static_cast<unsigned char>(bytes[at + 3])) << 8) |
                        static_cast<unsigned char>(bytes[at + 4]);
        if (bytes.size() - at < 5 + length)
            break;
        count += static_cast<unsigned char>(bytes[at]) == type;
        at += 5 + length;
    }
    return count;
}

// One scripted call of InitializeSecurityContext: it needs `records` whole
// records (SEC_E_INCOMPLETE_MESSAGE until they are there), takes them, and
// leaves the rest as EXTRA.
struct Leg {
    int records;
    SECURITY_STATUS status;
    std::string token; // the output token; empty for none
    PCCERT_CONTEXT presents = nullptr; // the server certificate from this leg on
};

struct FakeSspi {
    std::deque<Leg> legs;
    std::vector<std::string> handshakeInputs; // what each call of ISC was given
    int handshakeCalls = 0;
    bool firstCallTargetNull = false;
    std::string firstCallTarget;
    bool handshaking = false;
    SECURITY_STATUS credentialsStatus = SEC_E_OK;
    SECURITY_STATUS alertStatus = SEC_E_OK; // Wine's close_notify; Windows says SEC_I_CONTEXT_EXPIRED
    SecPkgContext_StreamSizes sizes{5, 16, 16384, 4, 16};
    DWORD protocol = SP_PROT_TLS1_2_CLIENT; // what SECPKG_ATTR_CONNECTION_INFO says
    int queries = 0;                        // calls of QueryContextAttributes
    PCCERT_CONTEXT certificate = nullptr;
    int outstandingBuffers = 0;
    int contextsDeleted = 0;
    int credentialsFreed = 0;
    int decryptCalls = 0;
    std::vector<size_t> sealedPieces; // the plaintext size of each EncryptMessage
};

FakeSspi* fake = nullptr;

const CredHandle FakeCred = {0xCE, 7};
const CtxtHandle FakeCtx = {0xC0, 1};

bool IsFakeContext(const CtxtHandle* context)
{
    return context != nullptr && context->dwLower == FakeCtx.dwLower && context->dwUpper == FakeCtx.dwUpper;
}

// Whole records at the front of the bytes, and how many bytes they take.
int WholeRecords(const unsigned char* bytes, size_t size, int most, size_t* taken)
{
    int count = 0;
    size_t at = 0;
    while (count < most && size - at >= 5) {
        size_t length = (static_cast<size_t>(bytes[at + 3]) << 8) | bytes[at + 4];
        if (size - at < 5 + length)
            break;
        at += 5 + length;
        ++count;
    }
    *taken = at;
    return count;
}

SECURITY_STATUS SEC_ENTRY FakeAcquire(SEC_CHAR*, SEC_CHAR*, unsigned long, void*, void*, SEC_GET_KEY_FN, void*,
                                      PCredHandle cred, PTimeStamp)
{
    if (fake->credentialsStatus == SEC_E_OK)
        *cred = FakeCred;
    return fake->credentialsStatus;
}

SECURITY_STATUS SEC_ENTRY FakeInitialize(PCredHandle cred, PCtxtHandle context, SEC_CHAR* target, unsigned long,
                                         unsigned long, unsigned long, PSecBufferDesc input, unsigned long,
                                         PCtxtHandle newContext, PSecBufferDesc output, unsigned long* attributes,
                                         PTimeStamp)
{
    ++fake->handshakeCalls;
    EXPECT_TRUE(cred != nullptr && cred->dwLower == FakeCred.dwLower);
    if (attributes)
        *attributes = 0;
    if (output == nullptr || output->cBuffers < 1 || output->pBuffers[0].BufferType != SECBUFFER_TOKEN) {
        ADD_FAILURE() << "InitializeSecurityContext without an output token";
        return SEC_E_INVALID_TOKEN;
    }
    output->pBuffers[0].pvBuffer = nullptr;
    output->pBuffers[0].cbBuffer = 0;
    std::string bytes;
    SecBuffer* extra = nullptr;
    if (context == nullptr) {
        EXPECT_EQ(nullptr, input) << "the first call takes no input";
        fake->firstCallTargetNull = target == nullptr;
        fake->firstCallTarget = target ? target : "";
        fake->handshaking = true;
    } else {
        EXPECT_TRUE(IsFakeContext(context));
        if (input == nullptr || input->cBuffers != 2 || input->pBuffers[0].BufferType != SECBUFFER_TOKEN ||
            input->pBuffers[1].BufferType != SECBUFFER_EMPTY || input->pBuffers[1].cbBuffer != 0) {
            ADD_FAILURE() << "InitializeSecurityContext wants a TOKEN and an EMPTY buffer";
            return SEC_E_INVALID_TOKEN;
        }
        if (input->pBuffers[0].cbBuffer != 0)
            bytes.assign(static_cast<const char*>(input->pBuffers[0].pvBuffer), input->pBuffers[0].cbBuffer);
        extra = &input->pBuffers[1];
    }
    fake->handshakeInputs.push_back(bytes);
    if (fake->legs.empty()) {
        ADD_FAILURE() << "InitializeSecurityContext called beyond its script";
        return SEC_E_INTERNAL_ERROR;
    }
    Leg leg = fake->legs.front();
    size_t taken = 0;
    if (WholeRecords(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), leg.records, &taken) <
        leg.records)
        return SEC_E_INCOMPLETE_MESSAGE;
    fake->legs.pop_front();
    if (context == nullptr && (leg.status == SEC_I_CONTINUE_NEEDED || leg.status == SEC_E_OK))
        *newContext = FakeCtx;
    if (leg.presents)
        fake->certificate = leg.presents;
    if (!leg.token.empty()) {
        char* token = new char[leg.token.size()];
        memcpy(token, leg.token.data(), leg.token.size());
        output->pBuffers[0].pvBuffer = token;
        output->pBuffers[0].cbBuffer = static_cast<unsigned long>(leg.token.size());
        ++fake->outstandingBuffers;
    }
    if (extra && taken < bytes.size() && (leg.status == SEC_E_OK || leg.status == SEC_I_CONTINUE_NEEDED)) {
        extra->BufferType = SECBUFFER_EXTRA;
        extra->cbBuffer = static_cast<unsigned long>(bytes.size() - taken);
    }
    if (leg.status == SEC_E_OK)
        fake->handshaking = false;
    return leg.status;
}

SECURITY_STATUS SEC_ENTRY FakeDecrypt(PCtxtHandle context, PSecBufferDesc message, unsigned long, unsigned long*)
{
    ++fake->decryptCalls;
    EXPECT_TRUE(IsFakeContext(context));
    SecBuffer* b = message->pBuffers;
    if (message->cBuffers != 4 || b[0].BufferType != SECBUFFER_DATA || b[1].BufferType != SECBUFFER_EMPTY ||
        b[2].BufferType != SECBUFFER_EMPTY || b[3].BufferType != SECBUFFER_EMPTY) {
        ADD_FAILURE() << "DecryptMessage wants one DATA buffer and three EMPTY ones";
        return SEC_E_INVALID_TOKEN;
    }
    if (b[0].pvBuffer == nullptr || b[0].cbBuffer < 5) {
        // Wine reads the length before it checks for a whole header.
        ADD_FAILURE() << "DecryptMessage given " << b[0].cbBuffer << " bytes";
        return SEC_E_INVALID_TOKEN;
    }
    if (fake->handshaking) {
        ADD_FAILURE() << "DecryptMessage called in the middle of a handshake";
        return SEC_E_OUT_OF_SEQUENCE;
    }
    unsigned char* bytes = static_cast<unsigned char*>(b[0].pvBuffer);
    size_t size = b[0].cbBuffer;
    size_t length = (static_cast<size_t>(bytes[3]) << 8) | bytes[4];
    if (size < 5 + length)
        return SEC_E_INCOMPLETE_MESSAGE;
    if (length == 0)
        return SEC_E_DECRYPT_FAILURE;
    char* plain = reinterpret_cast<char*>(bytes + 5);
    size_t plainLength = length - 1;
    for (size_t i = 0; i < plainLength; ++i)
        plain[i] = static_cast<char>(plain[i] ^ XorKey);
    if (CheckSum(plain, plainLength) != bytes[5 + plainLength])
        return SEC_E_MESSAGE_ALTERED;
    unsigned char type = bytes[0];
    b[0] = SecBuffer{5, SECBUFFER_STREAM_HEADER, bytes};
    b[1] = SecBuffer{static_cast<unsigned long>(plainLength), SECBUFFER_DATA, plain};
    b[2] = SecBuffer{1, SECBUFFER_STREAM_TRAILER, bytes + 5 + plainLength};
    if (size > 5 + length)
        b[3] = SecBuffer{static_cast<unsigned long>(size - 5 - length), SECBUFFER_EXTRA, bytes + 5 + length};
    if (type == AlertRecord)
        return fake->alertStatus;
    if (type == HandshakeRecord) {
        fake->handshaking = true;
        return SEC_I_RENEGOTIATE;
    }
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY FakeEncrypt(PCtxtHandle context, unsigned long, PSecBufferDesc message, unsigned long)
{
    EXPECT_TRUE(IsFakeContext(context));
    if (fake->handshaking) {
        ADD_FAILURE() << "EncryptMessage called in the middle of a handshake";
        return SEC_E_OUT_OF_SEQUENCE;
    }
    SecBuffer* b = message->pBuffers;
    if (message->cBuffers != 4 || b[0].BufferType != SECBUFFER_STREAM_HEADER || b[1].BufferType != SECBUFFER_DATA ||
        b[2].BufferType != SECBUFFER_STREAM_TRAILER || b[3].BufferType != SECBUFFER_EMPTY ||
        b[0].cbBuffer != fake->sizes.cbHeader || b[2].cbBuffer != fake->sizes.cbTrailer ||
        b[1].cbBuffer > fake->sizes.cbMaximumMessage ||
        static_cast<char*>(b[0].pvBuffer) + b[0].cbBuffer != b[1].pvBuffer ||
        static_cast<char*>(b[1].pvBuffer) + b[1].cbBuffer != b[2].pvBuffer) {
        ADD_FAILURE() << "EncryptMessage wants HEADER, DATA of at most " << fake->sizes.cbMaximumMessage
                      << " bytes, TRAILER and EMPTY, in one piece";
        return SEC_E_INVALID_TOKEN;
    }
    fake->sealedPieces.push_back(b[1].cbBuffer);
    std::string record = Data(std::string(static_cast<const char*>(b[1].pvBuffer), b[1].cbBuffer));
    memcpy(b[0].pvBuffer, record.data(), record.size());
    b[2].cbBuffer = 1; // the trailer shrinks to what the record needs
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY FakeQuery(PCtxtHandle context, unsigned long attribute, void* buffer)
{
    EXPECT_TRUE(IsFakeContext(context));
    ++fake->queries;
    switch (attribute) {
    case SECPKG_ATTR_STREAM_SIZES:
        *static_cast<SecPkgContext_StreamSizes*>(buffer) = fake->sizes;
        return SEC_E_OK;
    case SECPKG_ATTR_CONNECTION_INFO: {
        SecPkgContext_ConnectionInfo* info = static_cast<SecPkgContext_ConnectionInfo*>(buffer);
        memset(info, 0, sizeof *info);
        info->dwProtocol = fake->protocol;
        info->aiCipher = CALG_AES_256;
        return SEC_E_OK;
    }
    case SECPKG_ATTR_REMOTE_CERT_CONTEXT:
        if (fake->certificate == nullptr)
            return SEC_E_NO_CREDENTIALS;
        *static_cast<PCCERT_CONTEXT*>(buffer) = CertDuplicateCertificateContext(fake->certificate);
        return SEC_E_OK;
    default:
        return SEC_E_UNSUPPORTED_FUNCTION;
    }
}

SECURITY_STATUS SEC_ENTRY FakeDeleteContext(PCtxtHandle context)
{
    EXPECT_TRUE(IsFakeContext(context));
    ++fake->contextsDeleted;
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY FakeFreeCredentials(PCredHandle cred)
{
    EXPECT_TRUE(cred != nullptr && cred->dwLower == FakeCred.dwLower && cred->dwUpper == FakeCred.dwUpper);
    ++fake->credentialsFreed;
    return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY FakeFreeBuffer(void* buffer)
{
    delete[] static_cast<char*>(buffer);
    --fake->outstandingBuffers;
    return SEC_E_OK;
}

const SspiApi FakeApi = {FakeAcquire, FakeInitialize, FakeDecrypt, FakeEncrypt,
                         FakeQuery,   FakeDeleteContext, FakeFreeCredentials, FakeFreeBuffer};

// A self-signed certificate made here, to tell one server from another.
PCCERT_CONTEXT MakeCertificate(const wchar_t* subject)
{
    BYTE name[256];
    DWORD nameSize = sizeof name;
    if (!CertStrToNameW(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, nullptr, name, &nameSize, nullptr))
        return nullptr;
    CERT_NAME_BLOB blob = {nameSize, name};
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        return nullptr;
    HCRYPTKEY key = 0;
    PCCERT_CONTEXT certificate = nullptr;
    if (CryptGenKey(provider, AT_SIGNATURE, 1024 << 16, &key)) {
        certificate = CertCreateSelfSignCertificate(provider, &blob, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
        CryptDestroyKey(key);
    }
    CryptReleaseContext(provider, 0);
    return certificate;
}

const std::string ServerHello = Flight("server hello, certificate, done");
const std::string ServerFinished = Flight("server finished");

class TlsRecordLayer : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake = &sspi;
        first = MakeCertificate(L"CN=imap.example.jp");
        second = MakeCertificate(L"CN=other.example.jp");
        ASSERT_NE(nullptr, first);
        ASSERT_NE(nullptr, second);
        sspi.certificate = first;
    }
    void TearDown() override
    {
        TlsReset(&channel);
        EXPECT_EQ(0, sspi.outstandingBuffers) << "output tokens not given back with FreeContextBuffer";
        CertFreeCertificateContext(first);
        CertFreeCertificateContext(second);
        fake = nullptr;
    }

    // The TLS 1.2 full handshake: ClientHello; the server's hello flight;
    // our key exchange and Finished; the server's Finished.
    void ScriptHandshake(const std::string& lastToken = "client finished")
    {
        sspi.legs.push_back({0, SEC_I_CONTINUE_NEEDED, "client hello"});
        sspi.legs.push_back({1, SEC_I_CONTINUE_NEEDED, "client key exchange"});
        sspi.legs.push_back({1, SEC_E_OK, lastToken});
    }

    // A channel after the handshake, with nothing left to send.
    void Establish()
    {
        ScriptHandshake("");
        ASSERT_TRUE(TlsBegin(&channel, &FakeApi, "imap.example.jp"));
        ASSERT_EQ(TlsDone, TlsHandshake(&channel, (ServerHello + ServerFinished).data(),
                                        ServerHello.size() + ServerFinished.size()));
        ASSERT_TRUE(channel.established);
        channel.toSend.clear();
    }

    // A fresh channel and script for the next case of a table.
    void Restart()
    {
        TlsReset(&channel);
        sspi.legs.clear();
        sspi.handshakeInputs.clear();
        sspi.handshaking = false;
        sspi.certificate = first;
        sspi.protocol = SP_PROT_TLS1_2_CLIENT;
    }

    TlsStep Feed(const std::string& bytes) { return TlsReceive(&channel, bytes.data(), bytes.size()); }

    std::string Unread() const { return channel.plainIn.substr(channel.plainPos); }

    FakeSspi sspi;
    TlsChannel channel;
    PCCERT_CONTEXT first = nullptr;
    PCCERT_CONTEXT second = nullptr;
};

// ---- the handshake ---------------------------------------------------------

TEST_F(TlsRecordLayer, HandshakeKeepsEveryByteOfAFlightSplitAnywhere)
{
    for (size_t cut = 1; cut < ServerHello.size(); ++cut) {
        SCOPED_TRACE("split after byte " + std::to_string(cut));
        Restart();
        ScriptHandshake();
        ASSERT_TRUE(TlsBegin(&channel, &FakeApi, "imap.example.jp"));
        EXPECT_EQ("client hello", channel.toSend);

        EXPECT_EQ(TlsNeedMore, TlsHandshake(&channel, ServerHello.data(), cut));
        EXPECT_EQ("client hello", channel.toSend) << "nothing more to send before the flight is whole";
        EXPECT_EQ(TlsNeedMore, TlsHandshake(&channel, ServerHello.data() + cut, ServerHello.size() - cut));
        ASSERT_FALSE(sspi.handshakeInputs.empty());
        EXPECT_EQ(ServerHello, sspi.handshakeInputs.back()) << "the bytes of the first part were lost";
        EXPECT_EQ(TlsDone, TlsHandshake(&channel, ServerFinished.data(), ServerFinished.size()));
        EXPECT_TRUE(channel.established);
        EXPECT_EQ("client hello" "client key exchange" "client finished", channel.toSend);
        EXPECT_TRUE(channel.cipherIn.empty());
    }
}

TEST_F(TlsRecordLayer, HandshakeGoesOnWithExtraBytesWithoutWaitingForMore)
{
    ScriptHandshake();
    ASSERT_TRUE(TlsBegin(&channel, &FakeApi, "imap.example.jp"));
    // Both flights in one receive: the first leg leaves the second as EXTRA.
    std::string both = ServerHello + ServerFinished;
    EXPECT_EQ(TlsDone, TlsHandshake(&channel, both.data(), both.size()));
    EXPECT_TRUE(channel.established);
    ASSERT_EQ(3u, sspi.handshakeInputs.size());
    EXPECT_EQ(both, sspi.handshakeInputs[1]);
    EXPECT_EQ(ServerFinished, sspi.handshakeInputs[2]) << "EXTRA is the tail of the input";
    EXPECT_EQ("client hello" "client key exchange" "client finished", channel.toSend);
}

// The records that follow the server's Finished in the same receive are
// application data: an implicit TLS server's greeting, TLS 1.3 tickets.
TEST_F(TlsRecordLayer, RecordsAfterTheHandshakeAreOpenedWhenItEnds)
{
    struct Case {
        const char* name;
        std::string after;
        std::string plain;
        size_t leftOver; // bytes of a partial record that must wait
    };
    const std::string greeting = "* OK [CAPABILITY IMAP4rev1 IDLE] ready\r\n";
    const Case cases[] = {
        {"greeting", Data(greeting), greeting, 0},
        {"greeting and half a record", Data(greeting) + Data("* 1 EXISTS\r\n").substr(0, 7), greeting, 7},
        {"tickets, then the greeting", Ticket() + Ticket() + Data(greeting), greeting, 0},
        {"greeting in two records", Data("* OK [CAPA") + Data(greeting.substr(10)), greeting, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        ScriptHandshake();
        for (int i = CountRecords(c.after, HandshakeRecord); i > 0; --i)
            sspi.legs.push_back({0, SEC_E_OK, ""});
        ASSERT_TRUE(TlsBegin(&channel, &FakeApi, "imap.example.jp"));
        ASSERT_EQ(TlsNeedMore, TlsHandshake(&channel, ServerHello.data(), ServerHello.size()));
        std::string last = ServerFinished + c.after;
        EXPECT_EQ(TlsDone, TlsHandshake(&channel, last.data(), last.size()));
        EXPECT_TRUE(channel.established);
        EXPECT_EQ(c.plain, Unread());
        EXPECT_EQ(c.plain.size(), TlsUnread(&channel));
        EXPECT_EQ(c.leftOver, channel.cipherIn.size());
        EXPECT_TRUE(sspi.legs.empty());
    }
}

TEST_F(TlsRecordLayer, AddressIsNeverSentAsTheServerName)
{
    struct Case {
        const char* server;
        const char* sent; // nullptr: no name
    };
    const Case cases[] = {
        {"imap.example.jp", "imap.example.jp"},
        {"127.0.0.1", nullptr},
        {"::1", nullptr},
        {"2001:db8::25", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.server);
        Restart();
        ScriptHandshake();
        ASSERT_TRUE(TlsBegin(&channel, &FakeApi, c.server));
        EXPECT_EQ(c.sent == nullptr, sspi.firstCallTargetNull);
        if (c.sent) {
            EXPECT_EQ(c.sent, sspi.firstCallTarget);
        }
    }
}

TEST_F(TlsRecordLayer, HandshakeFailureSendsNothingAndSaysWhy)
{
    sspi.legs.push_back({0, SEC_I_CONTINUE_NEEDED, "client hello"});
    sspi.legs.push_back({1, SEC_E_INTERNAL_ERROR, "alert"});
    ASSERT_TRUE(TlsBegin(&channel, &FakeApi, "imap.example.jp"));
    channel.toSend.clear();
    EXPECT_EQ(TlsFailed, TlsHandshake(&channel, ServerHello.data(), ServerHello.size()));
    EXPECT_EQ(SEC_E_INTERNAL_ERROR, channel.lastStatus);
    EXPECT_EQ("", channel.toSend);
    EXPECT_FALSE(channel.established);
}

// ---- receiving -------------------------------------------------------------

TEST_F(TlsRecordLayer, SeveralRecordsInOneReceiveAreAllOpened)
{
    Establish();
    EXPECT_EQ(TlsDone, Feed(Data("* 3 EXISTS\r\n") + Data("* 1 RECENT\r\n") + Data("") + Data("A001 OK\r\n")));
    EXPECT_EQ("* 3 EXISTS\r\n* 1 RECENT\r\nA001 OK\r\n", Unread());
    EXPECT_EQ(Unread().size(), TlsUnread(&channel)) << "opened bytes count as unread";
    channel.plainPos += 12;
    EXPECT_EQ(Unread().size(), TlsUnread(&channel));
    EXPECT_TRUE(channel.cipherIn.empty());
}

TEST_F(TlsRecordLayer, RecordsSplitAcrossReceivesAtEveryByte)
{
    const std::string stream = Data("* 4 EXISTS\r\n") + Data("* OK still here\r\n");
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        SCOPED_TRACE("split after byte " + std::to_string(cut));
        Restart();
        Establish();
        EXPECT_EQ(TlsDone, Feed(stream.substr(0, cut)));
        EXPECT_EQ(TlsDone, Feed(stream.substr(cut)));
        EXPECT_EQ("* 4 EXISTS\r\n* OK still here\r\n", Unread());
        EXPECT_TRUE(channel.cipherIn.empty());
    }
    // And one byte at a time.
    Restart();
    Establish();
    for (char c : stream)
        ASSERT_EQ(TlsDone, Feed(std::string(1, c)));
    EXPECT_EQ("* 4 EXISTS\r\n* OK still here\r\n", Unread());
}

// TLS 1.3 on Windows: every session ticket is a SEC_I_RENEGOTIATE, a call to
// InitializeSecurityContext with the bytes after it, and then decryption
// again; the same call may have brought plaintext.
TEST_F(TlsRecordLayer, TicketsInARowKeepThePlaintextAroundThemInOrder)
{
    struct Case {
        const char* name;
        std::vector<std::string> receives;
        std::string plain;
    };
    const Case cases[] = {
        {"three tickets, then data", {Ticket() + Ticket() + Ticket() + Data("* OK\r\n")}, "* OK\r\n"},
        {"data with a ticket", {Ticket("* 2 EXISTS\r\n")}, "* 2 EXISTS\r\n"},
        {"data, tickets with data, data",
         {Data("a") + Ticket("b") + Ticket() + Ticket("c") + Data("d")},
         "abcd"},
        {"each in a receive of its own", {Data("a"), Ticket("b"), Ticket(), Ticket("c"), Data("d")}, "abcd"},
        {"a ticket split across receives",
         {Data("a") + Ticket("bc").substr(0, 4), Ticket("bc").substr(4) + Data("d")},
         "abcd"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        Establish();
        std::string all;
        for (const std::string& r : c.receives)
            all += r;
        for (int i = CountRecords(all, HandshakeRecord); i > 0; --i)
            sspi.legs.push_back({0, SEC_E_OK, ""});
        for (const std::string& r : c.receives)
            EXPECT_EQ(TlsDone, Feed(r));
        EXPECT_EQ(c.plain, Unread());
        EXPECT_TRUE(sspi.legs.empty()) << "a ticket was not handed to InitializeSecurityContext";
        EXPECT_TRUE(channel.established);
        EXPECT_TRUE(channel.cipherIn.empty());
        EXPECT_EQ("", channel.toSend);
    }
}

// A TLS 1.2 renegotiation: the HelloRequest, our new ClientHello, the
// server's flight with its certificate, our reply, the server's Finished.
TEST_F(TlsRecordLayer, RenegotiationMustPresentTheFirstCertificate)
{
    struct Case {
        const char* name;
        bool sameCertificate;
        bool oneReceive; // everything from the server in one receive
    };
    const Case cases[] = {
        {"same certificate, flights in their own receives", true, false},
        {"same certificate, one receive", true, true},
        {"other certificate, flights in their own receives", false, false},
        {"other certificate, one receive", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        Establish();
        sspi.legs.push_back({0, SEC_I_CONTINUE_NEEDED, "client hello 2"});
        sspi.legs.push_back({1, SEC_I_CONTINUE_NEEDED, "client key exchange 2", c.sameCertificate ? first : second});
        sspi.legs.push_back({1, SEC_E_OK, "client finished 2"});
        const std::string after = Data("* 5 EXISTS\r\n");
        std::vector<std::string> receives = {Data("before ") + Ticket(), ServerHello, ServerFinished + after};
        if (c.oneReceive)
            receives = {receives[0] + receives[1] + receives[2]};
        // Half-way, the layer may ask for more bytes (TlsNeedMore) or say
        // it took them (TlsDone); either way the transport reads on.
        TlsStep step = TlsDone;
        for (const std::string& r : receives) {
            step = Feed(r);
            if (step == TlsFailed || step == TlsClosed)
                break;
        }
        if (c.sameCertificate) {
            EXPECT_EQ(TlsDone, step);
            EXPECT_EQ("before * 5 EXISTS\r\n", Unread());
            EXPECT_EQ("client hello 2" "client key exchange 2" "client finished 2", channel.toSend);
        } else {
            EXPECT_EQ(TlsFailed, step);
            EXPECT_EQ(SEC_E_CERT_UNKNOWN, channel.lastStatus);
            EXPECT_EQ("before ", Unread()) << "nothing from the other server may be read";
        }
        EXPECT_TRUE(sspi.legs.empty());
    }
}

// On a TLS 1.3 connection SEC_I_RENEGOTIATE brings a post-handshake message
// (a session ticket, a key update): it goes to InitializeSecurityContext
// with whatever reply that gives, and changes nothing that was checked, so
// nothing is asked of the context afterwards; the remote certificate may
// not even be there to ask for. Only a TLS 1.2 renegotiation can present
// another certificate, and there it is compared.
TEST_F(TlsRecordLayer, OnlyATls12RenegotiationComparesTheCertificate)
{
    struct Case {
        const char* name;
        DWORD protocol;
        bool certificateGone; // the query for the remote certificate fails
        bool otherCertificate;
        TlsStep step;
    };
    const Case cases[] = {
        {"TLS 1.3, the certificate cannot be asked for", SP_PROT_TLS1_3_CLIENT, true, false, TlsDone},
        {"TLS 1.3, another certificate", SP_PROT_TLS1_3_CLIENT, false, true, TlsDone},
        {"TLS 1.3, the same certificate", SP_PROT_TLS1_3_CLIENT, false, false, TlsDone},
        {"TLS 1.2, the certificate cannot be asked for", SP_PROT_TLS1_2_CLIENT, true, false, TlsFailed},
        {"TLS 1.2, another certificate", SP_PROT_TLS1_2_CLIENT, false, true, TlsFailed},
        {"TLS 1.2, the same certificate", SP_PROT_TLS1_2_CLIENT, false, false, TlsDone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        sspi.protocol = c.protocol;
        Establish();
        // One leg, as a ticket takes; one with a reply, as a key update
        // that asks for ours.
        sspi.legs.push_back({0, SEC_E_OK, "handshake reply", c.otherCertificate ? second : nullptr});
        if (c.certificateGone)
            sspi.certificate = nullptr;
        int queries = sspi.queries;
        TlsStep step = Feed(Data("a") + Ticket("b") + Data("c"));
        EXPECT_EQ(c.step, step);
        EXPECT_TRUE(sspi.legs.empty()) << "the message was not handed to InitializeSecurityContext";
        EXPECT_EQ("handshake reply", channel.toSend);
        if (c.step == TlsDone) {
            EXPECT_EQ("abc", Unread());
        } else {
            EXPECT_EQ(SEC_E_CERT_UNKNOWN, channel.lastStatus);
            EXPECT_EQ("ab", Unread()) << "nothing after the new handshake may be read";
        }
        if (c.protocol == SP_PROT_TLS1_3_CLIENT) {
            EXPECT_EQ(queries, sspi.queries) << "the context was asked again after a TLS 1.3 message";
        }
    }
}

// Nothing is sealed while a handshake the server started is under way: a
// TLS 1.2 renegotiation waiting for the server's next flight, or a TLS 1.3
// post-handshake message whose record is not all here yet. Once it has
// ended, sealing works again.
TEST_F(TlsRecordLayer, SealRefusesWhileAHandshakeIsUnderWay)
{
    struct Case {
        const char* name;
        DWORD protocol;
        std::vector<Leg> legs;
        std::string finish; // the server's bytes that end the handshake
    };
    const Case cases[] = {
        {"TLS 1.2 renegotiation",
         SP_PROT_TLS1_2_CLIENT,
         {{0, SEC_I_CONTINUE_NEEDED, "client hello 2"},
          {1, SEC_I_CONTINUE_NEEDED, "client key exchange 2"},
          {1, SEC_E_OK, "client finished 2"}},
         ServerHello + ServerFinished},
        {"TLS 1.3 message cut short", SP_PROT_TLS1_3_CLIENT, {{1, SEC_E_OK, ""}}, Flight("rest of the message")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        sspi.protocol = c.protocol;
        Establish();
        for (const Leg& leg : c.legs)
            sspi.legs.push_back(leg);
        ASSERT_EQ(TlsDone, Feed(Ticket()));
        EXPECT_TRUE(TlsHandshaking(&channel));
        sspi.sealedPieces.clear();
        std::string sealed;
        EXPECT_FALSE(TlsSeal(&channel, "A002 DONE\r\n", 11, &sealed));
        EXPECT_EQ("", sealed);
        EXPECT_TRUE(sspi.sealedPieces.empty());
        EXPECT_EQ(SEC_I_RENEGOTIATE, channel.lastStatus);

        ASSERT_EQ(TlsDone, Feed(c.finish));
        EXPECT_TRUE(sspi.legs.empty());
        EXPECT_FALSE(TlsHandshaking(&channel));
        EXPECT_TRUE(TlsSeal(&channel, "A002 DONE\r\n", 11, &sealed));
        EXPECT_EQ(Data("A002 DONE\r\n"), sealed);
    }
}

TEST_F(TlsRecordLayer, CloseNotifyEndsTheStreamAfterThePlaintextBeforeIt)
{
    struct Case {
        const char* name;
        SECURITY_STATUS alertStatus;
        std::vector<std::string> receives;
        TlsStep step;
        std::string plain;
    };
    const Case cases[] = {
        {"Windows: SEC_I_CONTEXT_EXPIRED", SEC_I_CONTEXT_EXPIRED, {Data("* BYE\r\n") + Record(AlertRecord, "")},
         TlsClosed, "* BYE\r\n"},
        {"Wine: an alert record opened to nothing", SEC_E_OK, {Data("* BYE\r\n") + Record(AlertRecord, "")},
         TlsClosed, "* BYE\r\n"},
        {"close_notify in a receive of its own", SEC_E_OK, {Data("* BYE\r\n"), Record(AlertRecord, "")},
         TlsClosed, "* BYE\r\n"},
        {"an empty application record is no close", SEC_E_OK, {Data("a") + Data("") + Data("b")}, TlsDone, "ab"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        Establish();
        sspi.alertStatus = c.alertStatus;
        TlsStep step = TlsDone;
        for (const std::string& r : c.receives)
            step = Feed(r);
        EXPECT_EQ(c.step, step);
        EXPECT_EQ(c.plain, Unread());
        EXPECT_EQ(c.step == TlsClosed, channel.closed);
        if (c.step == TlsClosed) {
            int calls = sspi.decryptCalls;
            EXPECT_EQ(TlsClosed, Feed(Data("late")));
            EXPECT_EQ(calls, sspi.decryptCalls) << "nothing is opened after close_notify";
            EXPECT_EQ(c.plain, Unread());
        }
    }
}

TEST_F(TlsRecordLayer, DroppingUnreadBytesKeepsTheRecordsNotYetOpened)
{
    Establish();
    const std::string next = Data("* 6 EXISTS\r\n");
    EXPECT_EQ(TlsDone, Feed(Data("* injected\r\n") + next.substr(0, 9)));
    channel.plainPos = 2;
    TlsDropUnread(&channel);
    EXPECT_EQ(0u, TlsUnread(&channel));
    EXPECT_EQ(TlsDone, Feed(next.substr(9)));
    EXPECT_EQ("* 6 EXISTS\r\n", Unread());
}

// ---- sending -----------------------------------------------------------------

TEST_F(TlsRecordLayer, SealSplitsIntoRecordsOfTheLargestMessageAndEveryByteComesBack)
{
    sspi.sizes.cbMaximumMessage = 7;
    Establish();
    for (size_t length : {1u, 6u, 7u, 8u, 14u, 15u, 300u}) {
        SCOPED_TRACE("length " + std::to_string(length));
        std::string plain;
        for (size_t i = 0; i < length; ++i)
            plain += static_cast<char>('A' + i * 7 % 53);
        sspi.sealedPieces.clear();
        std::string sealed;
        ASSERT_TRUE(TlsSeal(&channel, plain.data(), plain.size(), &sealed));
        std::vector<size_t> pieces;
        for (size_t left = length; left != 0; left -= left < 7 ? left : 7)
            pieces.push_back(left < 7 ? left : 7);
        EXPECT_EQ(pieces, sspi.sealedPieces);
        // Opened by the same fake, the records give back exactly the bytes.
        TlsDropUnread(&channel);
        EXPECT_EQ(TlsDone, Feed(sealed));
        EXPECT_EQ(plain, Unread());
        EXPECT_TRUE(channel.cipherIn.empty()) << "sealed bytes beyond the records";
    }
}

TEST_F(TlsRecordLayer, SealBeforeTheHandshakeFails)
{
    ScriptHandshake();
    ASSERT_TRUE(TlsBegin(&channel, &FakeApi, "imap.example.jp"));
    std::string sealed;
    EXPECT_FALSE(TlsSeal(&channel, "a", 1, &sealed));
    EXPECT_EQ("", sealed);
}

// ---- freeing -------------------------------------------------------------

TEST_F(TlsRecordLayer, ResetFreesContextAndCredentialsOnce)
{
    struct Case {
        const char* name;
        SECURITY_STATUS credentials;
        SECURITY_STATUS firstLeg;
        int contexts;
        int creds;
    };
    const Case cases[] = {
        {"established", SEC_E_OK, SEC_I_CONTINUE_NEEDED, 1, 1},
        {"first call failed", SEC_E_OK, SEC_E_INTERNAL_ERROR, 0, 1},
        {"no credentials", SEC_E_NO_CREDENTIALS, SEC_I_CONTINUE_NEEDED, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        sspi.contextsDeleted = 0;
        sspi.credentialsFreed = 0;
        sspi.credentialsStatus = c.credentials;
        sspi.legs.push_back({0, c.firstLeg, "client hello"});
        sspi.legs.push_back({1, SEC_I_CONTINUE_NEEDED, "client key exchange"});
        sspi.legs.push_back({1, SEC_E_OK, ""});
        if (TlsBegin(&channel, &FakeApi, "imap.example.jp")) {
            std::string both = ServerHello + ServerFinished;
            ASSERT_EQ(TlsDone, TlsHandshake(&channel, both.data(), both.size()));
            ASSERT_EQ(TlsDone, Feed(Data("x")));
        }
        TlsReset(&channel);
        TlsReset(&channel);
        EXPECT_EQ(c.contexts, sspi.contextsDeleted);
        EXPECT_EQ(c.creds, sspi.credentialsFreed);
        EXPECT_FALSE(channel.established);
        EXPECT_EQ(0u, TlsUnread(&channel));
        EXPECT_TRUE(channel.cipherIn.empty());
    }
    // A new handshake on a used channel frees the old context first.
    sspi.credentialsStatus = SEC_E_OK;
    Restart();
    sspi.contextsDeleted = 0;
    sspi.credentialsFreed = 0;
    Establish();
    sspi.legs.push_back({0, SEC_I_CONTINUE_NEEDED, "client hello"});
    ASSERT_TRUE(TlsBegin(&channel, &FakeApi, "imap.example.jp"));
    EXPECT_EQ(1, sspi.contextsDeleted);
    EXPECT_EQ(1, sspi.credentialsFreed);
    EXPECT_FALSE(channel.established);
}

} // namespace
