// The settings file of an account: what loads from which file contents, what
// a save writes, and the stored form of the password.
#include <windows.h>

#include <gtest/gtest.h>

#include <limits.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "config/settings.h"
#include "support/immutable_file.h"
#include "support/protected_password.h"
#include "support/temp_account.h"

namespace {

using testing_support::ProtectedValue;
using testing_support::TempAccount;
using testing_support::UnprotectValue;

// The settings as plain values, for comparing a loaded record field by field.
struct Expected {
    int use = 0;
    int port = 143;
    int refreshTime = 12;
    int recvTimeout = 20;
    int debug = 0;
    int recvAtConnected = 1;
    int tls = 0;
    std::string server;
    std::string user;
    std::string pass;
    std::string tlsFingerprint;
};

void ExpectLoaded(const Settings& s, const Expected& e)
{
    EXPECT_EQ(s.use, e.use);
    EXPECT_EQ(s.port, e.port);
    EXPECT_EQ(s.refreshTime, e.refreshTime);
    EXPECT_EQ(s.recvTimeout, e.recvTimeout);
    EXPECT_EQ(s.debug, e.debug);
    EXPECT_EQ(s.recvAtConnected, e.recvAtConnected);
    EXPECT_EQ(s.tls, e.tls);
    // Each text must end inside its field.
    ASSERT_LT(strnlen(s.tlsFingerprint, sizeof s.tlsFingerprint), sizeof s.tlsFingerprint);
    EXPECT_EQ(std::string(s.tlsFingerprint), e.tlsFingerprint);
    ASSERT_LT(strnlen(s.server, sizeof s.server), sizeof s.server);
    ASSERT_LT(strnlen(s.user, sizeof s.user), sizeof s.user);
    ASSERT_LT(strnlen(s.pass, sizeof s.pass), sizeof s.pass);
    EXPECT_EQ(std::string(s.server), e.server);
    EXPECT_EQ(std::string(s.user), e.user);
    EXPECT_EQ(std::string(s.pass), e.pass);
}

Settings Load(const TempAccount& account)
{
    Settings loaded;
    memset(&loaded, 0xCC, sizeof loaded); // every field must be set by the load
    LoadSettings(account.Folder().c_str(), &loaded);
    return loaded;
}

std::string Encoded(std::string password)
{
    EncodePassword(password);
    return password;
}

// ---- loading --------------------------------------------------------------

struct LoadCase {
    const char* name;
    const char* file; // nullptr: no file at all
    std::function<void(Expected&)> expect;
};

void PrintTo(const LoadCase& c, std::ostream* os)
{
    *os << c.name;
}

const char Digits[] = "0123456789";

std::string Repeat(const std::string& text, size_t count)
{
    std::string out;
    for (size_t i = 0; i < count; ++i)
        out += text;
    return out;
}

std::string LongText(size_t length)
{
    std::string text;
    for (size_t i = 0; i < length; ++i)
        text += Digits[i % 10];
    return text;
}

std::string Ini(const std::string& body)
{
    return "[imap4]\r\n" + body;
}

std::vector<LoadCase> LoadCases()
{
    static const std::string everyKey = Ini("use=1\r\nserver=imap.example.jp\r\nport=993\r\nrefreshTime=5\r\n"
                                            "recvTimeout=30\r\ndebug=1\r\nuser=taro\r\npass=FiY2\r\n"
                                            "recvAtConnected=0\r\ntls=2\r\ntlsFingerprint=ab:CD\r\n");
    static const std::string emptyValues =
        Ini("use=\r\nserver=\r\nport=\r\nrefreshTime=\r\nrecvTimeout=\r\ndebug=\r\nuser=\r\npass=\r\n"
            "recvAtConnected=\r\ntls=\r\ntlsFingerprint=\r\n");
    static const std::string longServer = Ini("server=" + LongText(350) + "\r\n");
    static const std::string longUser = Ini("user=" + LongText(120) + "\r\n");
    static const std::string otherSection = "[pop3]\r\nuse=1\r\nport=110\r\nserver=pop.example.jp\r\n";

    return {
        {"NoFileGivesTheDefaults", nullptr, [](Expected&) {}},
        {"EmptyFileGivesTheDefaults", "", [](Expected&) {}},
        {"OtherSectionOnlyGivesTheDefaults", otherSection.c_str(), [](Expected&) {}},
        {"EmptyValuesCountAsMissing", emptyValues.c_str(), [](Expected&) {}},
        {"EveryKeyReadIntoItsOwnField", everyKey.c_str(),
         [](Expected& e) {
             e.use = 1, e.server = "imap.example.jp", e.port = 993, e.refreshTime = 5, e.recvTimeout = 30;
             e.debug = 1, e.user = "taro", e.pass = "abc", e.recvAtConnected = 0;
             e.tls = 2, e.tlsFingerprint = "ab:CD";
         }},
        {"HexadecimalPort", "[imap4]\r\nport=0x1A\r\n", [](Expected& e) { e.port = 26; }},
        {"HexadecimalPortInCapitals", "[imap4]\r\nport=0X1a\r\n", [](Expected& e) { e.port = 26; }},
        {"OctalPort", "[imap4]\r\nport=010\r\n", [](Expected& e) { e.port = 8; }},
        {"OctalPortStopsAtDigitEight", "[imap4]\r\nport=08\r\n", [](Expected& e) { e.port = 0; }},
        {"NumberWithTrailingLetters", "[imap4]\r\nport=993abc\r\n", [](Expected& e) { e.port = 993; }},
        {"TextWithoutDigitsGivesZeroNotTheDefault", "[imap4]\r\nport=abc\r\nrecvAtConnected=x\r\n",
         [](Expected& e) { e.port = 0, e.recvAtConnected = 0; }},
        {"ZeroAndNegativeStayAsRead", "[imap4]\r\nport=-5\r\nrefreshTime=0\r\nrecvTimeout=-0x10\r\n",
         [](Expected& e) { e.port = -5, e.refreshTime = 0, e.recvTimeout = -16; }},
        {"SignedDecimal", "[imap4]\r\nport=+143\r\nuse=-1\r\n", [](Expected& e) { e.port = 143, e.use = -1; }},
        {"LargestAndSmallestNumbersExactly", "[imap4]\r\nport=2147483647\r\nuse=-2147483648\r\n",
         [](Expected& e) { e.port = INT_MAX, e.use = INT_MIN; }},
        {"NumbersJustBeyondTheRangeSaturate", "[imap4]\r\nport=2147483648\r\nuse=-2147483649\r\n",
         [](Expected& e) { e.port = INT_MAX, e.use = INT_MIN; }},
        {"NumbersFarBeyondTheRangeSaturate",
         "[imap4]\r\nport=99999999999999999999999\r\nuse=-99999999999999999999999\r\n"
         "refreshTime=4294967296\r\nrecvTimeout=-4294967296\r\n",
         [](Expected& e) { e.port = INT_MAX, e.use = INT_MIN, e.refreshTime = INT_MAX, e.recvTimeout = INT_MIN; }},
        {"HexadecimalAndOctalBeyondTheRangeSaturate",
         "[imap4]\r\nport=0xFFFFFFFF\r\nuse=-0x100000000\r\ndebug=037777777777\r\nrecvAtConnected=0x7FFFFFFF\r\n",
         [](Expected& e) { e.port = INT_MAX, e.use = INT_MIN, e.debug = INT_MAX, e.recvAtConnected = INT_MAX; }},
        {"LongServerIsCutTo299Bytes", longServer.c_str(), [](Expected& e) { e.server = LongText(299); }},
        {"LongUserIsCutTo99Bytes", longUser.c_str(), [](Expected& e) { e.user = LongText(99); }},
        {"JapaneseUserName", "[imap4]\r\nuser=山田太郎\r\n", [](Expected& e) { e.user = "山田太郎"; }},
        {"RecvAtConnectedZero", "[imap4]\r\nrecvAtConnected=0\r\n", [](Expected& e) { e.recvAtConnected = 0; }},
        // Plain text must never be what a mistyped "tls" falls back to.
        {"TlsOutOfRangeStaysAsRead", "[imap4]\r\ntls=5\r\n", [](Expected& e) { e.tls = 5; }},
        {"TlsWithoutANumberIsNotPlain", "[imap4]\r\ntls=ssl\r\nport=abc\r\n", [](Expected& e) { e.tls = -1, e.port = 0; }},
        {"TlsNumberWithTrailingLetters", "[imap4]\r\ntls=1 (993)\r\n", [](Expected& e) { e.tls = 1; }},
        {"InvalidPasswordIsEmpty", "[imap4]\r\npass=!!!!\r\nuser=taro\r\n", [](Expected& e) { e.user = "taro"; }},
    };
}

class LoadFromFile : public ::testing::TestWithParam<LoadCase> {};

TEST_P(LoadFromFile, FillsEveryFieldFromTheFileOrItsDefault)
{
    const LoadCase& c = GetParam();
    TempAccount account;
    if (c.file != nullptr)
        account.WriteIni(c.file);
    Expected expected;
    c.expect(expected);
    ExpectLoaded(Load(account), expected);
    EXPECT_EQ(account.IniExists(), c.file != nullptr) << "loading must never create the file";
}

INSTANTIATE_TEST_SUITE_P(Files, LoadFromFile, ::testing::ValuesIn(LoadCases()),
                         [](const ::testing::TestParamInfo<LoadCase>& info) { return std::string(info.param.name); });

TEST(LoadSettings, SectionAndKeyNamesMatchInAnyCase)
{
    TempAccount account;
    account.WriteIni("[IMAP4]\r\nPORT=25\r\nUse=1\r\n");
    Expected expected;
    expected.port = 25;
    expected.use = 1;
    ExpectLoaded(Load(account), expected);
}

TEST(LoadSettings, FileNameIsTheFolderTextFollowedDirectlyByQvpushIni)
{
    EXPECT_EQ(SettingsFileName("C:\\mail\\taro\\"), "C:\\mail\\taro\\qvpush.ini");
    EXPECT_EQ(SettingsFileName("C:\\mail\\taro"), "C:\\mail\\taroqvpush.ini");

    // Without a trailing separator the file sits beside the folder.
    TempAccount account;
    std::string prefix = account.Folder() + "taro";
    testing_support::WriteFileBytes(prefix + "qvpush.ini", Ini("port=110\r\n"));
    Settings loaded;
    LoadSettings(prefix.c_str(), &loaded);
    EXPECT_EQ(loaded.port, 110);
    DeleteFileA((prefix + "qvpush.ini").c_str());
}

// ---- the password's cut at 99 bytes ---------------------------------------

struct CutCase {
    const char* name;
    std::string password; // as typed, before encoding
    std::string loaded;   // what the load keeps
};

void PrintTo(const CutCase& c, std::ostream* os)
{
    *os << c.name;
}

std::vector<CutCase> CutCases()
{
    const std::string a = "\x82\xA0";  // あ: lead byte 0x82
    const std::string b = "\x82\x82";  // ｂ: lead 0x82, trail 0x82
    const std::string c = "\x82\x83";  // ｃ
    return {
        {"NinetyNineBytesStayWhole", LongText(99), LongText(99)},
        {"HundredSingleBytesLoseTheLast", LongText(100), LongText(99)},
        {"LeadByteAtByte99IsDroppedWithItsCharacter", Repeat("a", 98) + a, Repeat("a", 98)},
        {"CharacterEndingAtByte99IsKept", Repeat("a", 97) + a + "b", Repeat("a", 97) + a},
        // Byte 99 is the trail byte 0x82 of a whole character, which looks
        // like a lead byte when read on its own.
        {"TrailByteThatLooksLikeALeadByteIsKept", "a" + Repeat(b, 49) + c, "a" + Repeat(b, 49)},
        {"OnlyDoubleByteCharacters", Repeat(a, 50), Repeat(a, 49)},
    };
}

class PasswordCut : public ::testing::TestWithParam<CutCase> {};

TEST_P(PasswordCut, NeverSplitsADoubleByteCharacter)
{
    ASSERT_EQ(GetACP(), 932u) << "the tests run in the Japanese code page";
    TempAccount account;
    account.WriteIni(Ini("pass=" + Encoded(GetParam().password) + "\r\n"));
    Expected expected;
    expected.pass = GetParam().loaded;
    ExpectLoaded(Load(account), expected);
}

INSTANTIATE_TEST_SUITE_P(Passwords, PasswordCut, ::testing::ValuesIn(CutCases()),
                         [](const ::testing::TestParamInfo<CutCase>& info) { return std::string(info.param.name); });

// ---- where the password comes from: "passProtected", or the older "pass" ----

struct SourceCase {
    const char* name;
    std::function<std::string()> body; // the section's lines (made when the test runs)
    std::string pass;                  // what the load gives
    PasswordState state;
};

void PrintTo(const SourceCase& c, std::ostream* os)
{
    *os << c.name;
}

std::vector<SourceCase> SourceCases()
{
    std::string japanese99;
    for (int i = 0; i < 49; ++i)
        japanese99 += "\x82\xA0"; // あ
    japanese99 += "z";
    return {
        {"OlderFormOnly", [] { return std::string("pass=FiY2\r\n"); }, "abc", PasswordKnown},
        {"EncryptedOnly", [] { return "passProtected=" + ProtectedValue("abc") + "\r\n"; }, "abc", PasswordKnown},
        // A DPAPI blob of a long password is far beyond the 300 bytes that
        // the other values are read through.
        {"EncryptedNinetyNineBytes", [japanese99] { return "passProtected=" + ProtectedValue(japanese99) + "\r\n"; },
         japanese99, PasswordKnown},
        {"EncryptedLongerThanTheFieldIsCut",
         [] { return "passProtected=" + ProtectedValue(LongText(400)) + "\r\n"; }, LongText(99), PasswordKnown},
        {"EmptyEncryptedValueIsAnEmptyPassword", [] { return std::string("passProtected=\r\n"); }, "",
         PasswordKnown},
        // An older version saved after this one: its value is the newer.
        {"BothPresentTheOlderFormWins",
         [] { return "passProtected=" + ProtectedValue("xyz") + "\r\npass=FiY2\r\n"; }, "abc", PasswordKnown},
        {"BothPresentAnEmptyOlderFormWins",
         [] { return "pass=\r\npassProtected=" + ProtectedValue("xyz") + "\r\n"; }, "", PasswordKnown},
        {"BothPresentTheOlderKeyInCapitalsWins",
         [] { return "PASS=FiY2\r\npassProtected=" + ProtectedValue("xyz") + "\r\n"; }, "abc", PasswordKnown},
        // Encrypted by another program, or for another user or PC.
        {"OtherEntropyIsUnreadable",
         [] { return "passProtected=" + ProtectedValue("abc", "another program") + "\r\n"; }, "",
         PasswordUnreadable},
        {"CutBlobIsUnreadable",
         [] {
             std::string value = ProtectedValue("abc");
             return "passProtected=" + value.substr(0, value.size() - 8) + "\r\n";
         },
         "", PasswordUnreadable},
        {"NoBlobIsUnreadable", [] { return std::string("passProtected=bm90IGEgYmxvYg==\r\n"); }, "",
         PasswordUnreadable},
        {"NotBase64IsUnreadable", [] { return std::string("passProtected=!!!!\r\n"); }, "", PasswordUnreadable},
    };
}

class PasswordSource : public ::testing::TestWithParam<SourceCase> {};

TEST_P(PasswordSource, GivesThePasswordOrSaysItIsUnreadable)
{
    const SourceCase& c = GetParam();
    TempAccount account;
    account.WriteIni(Ini("user=taro\r\n" + c.body()));
    Settings loaded = Load(account);
    Expected expected;
    expected.user = "taro";
    expected.pass = c.pass;
    ExpectLoaded(loaded, expected);
    EXPECT_EQ(loaded.passState, c.state);
}

INSTANTIATE_TEST_SUITE_P(Files, PasswordSource, ::testing::ValuesIn(SourceCases()),
                         [](const ::testing::TestParamInfo<SourceCase>& info) { return std::string(info.param.name); });

// ---- number conversion ------------------------------------------------------

struct NumberCase {
    const char* text;
    int base;
    int expected;
};

TEST(TextToInt32, ReadsLikeStrtolAndSaturatesAtThe32BitRange)
{
    const NumberCase cases[] = {
        {"0x1A", 0, 26},         {"010", 0, 8},
        {"08", 0, 0},            {"993abc", 0, 993},
        {"abc", 0, 0},           {"", 0, 0},
        {"  42", 0, 42},         {"-0x10", 0, -16},
        {"0x", 0, 0},            {"2147483647", 0, INT_MAX},
        {"2147483648", 0, INT_MAX},          {"-2147483648", 0, INT_MIN},
        {"-2147483649", 0, INT_MIN},         {"0xFFFFFFFF", 0, INT_MAX},
        {"-0xFFFFFFFF", 0, INT_MIN},         {"0x10000000000000000", 0, INT_MAX},
        {"-99999999999999999999", 0, INT_MIN},
        // The dialog's port field: decimal only.
        {"0x1A", 10, 0},         {" 993", 10, 993},
        {"993abc", 10, 993},     {"", 10, 0},
        {"010", 10, 10},         {"08", 10, 8},
        {"-7", 10, -7},          {"4294967296", 10, INT_MAX},
        {"-4294967296", 10, INT_MIN},
    };
    for (const NumberCase& c : cases)
        EXPECT_EQ(TextToInt32(c.text, c.base), c.expected) << '"' << c.text << "\" in base " << c.base;
}

// ---- the stored form of the password ---------------------------------------

TEST(Password, SwapNibblesExchangesTheHalvesOfEveryByte)
{
    std::string text = "abc";
    SwapNibbles(text);
    EXPECT_EQ(text, "\x16\x26\x36");

    std::string all;
    for (int b = 1; b < 256; ++b)
        all += static_cast<char>(b);
    std::string swapped = all;
    SwapNibbles(swapped);
    for (int b = 1; b < 256; ++b)
        ASSERT_EQ(static_cast<unsigned char>(swapped[b - 1]), ((b & 0x0F) << 4) | (b >> 4)) << b;
    SwapNibbles(swapped);
    EXPECT_EQ(swapped, all) << "the exchange is its own inverse";
}

TEST(Password, KnownStoredForms)
{
    EXPECT_EQ(Encoded("abc"), "FiY2");
    EXPECT_EQ(Encoded(""), "");
    EXPECT_EQ(Encoded("\x82\xA0"), "KAo="); // bytes 28 0A

    std::string text = "FiY2";
    DecodePassword(text);
    EXPECT_EQ(text, "abc");
    text = "KAo=";
    DecodePassword(text);
    EXPECT_EQ(text, "\x82\xA0");
    text = "";
    DecodePassword(text);
    EXPECT_EQ(text, "");
}

TEST(Password, LongPasswordIsStoredOnOneLine)
{
    std::string password;
    for (int i = 0; i < 99; ++i)
        password += static_cast<char>(0x20 + (i * 37) % 0xDF); // printable and high bytes
    std::string stored = Encoded(password);
    EXPECT_EQ(stored.size(), 132u);
    EXPECT_EQ(stored.find_first_of("\r\n"), std::string::npos);
    DecodePassword(stored);
    EXPECT_EQ(stored, password);
}

TEST(Password, DecodingStopsAtTheFirstZeroByte)
{
    std::string text = "FgAm"; // bytes 16 00 26
    DecodePassword(text);
    EXPECT_EQ(text, "a");
}

TEST(Password, ValueThatIsNotBase64GivesAnEmptyPassword)
{
    const std::string invalid[] = {"!!!!", "@@@@@@@@", "FiY2!", "Fi*2", "日本語", std::string(299, '*'),
                                   "\x82\xA0\x82\xA0"};
    for (const std::string& value : invalid) {
        std::string text = value;
        DecodePassword(text);
        EXPECT_EQ(text, "") << value;
    }
}

// ---- saving -------------------------------------------------------------------

// The record the saves below write.
Settings Saved;

void SetCurrent(int use, const char* server, int port, const char* user, const char* pass, int recvAtConnected)
{
    memset(&Saved, 0, sizeof Saved);
    Saved.use = use;
    Saved.port = port;
    Saved.recvAtConnected = recvAtConnected;
    // Values of the keys a save must never write.
    Saved.refreshTime = 99;
    Saved.recvTimeout = 98;
    Saved.debug = 97;
    strcpy(Saved.server, server);
    strcpy(Saved.user, user);
    strcpy(Saved.pass, pass);
}

// The value of passProtected between the given lines of a file, decrypted.
void ExpectEncryptedBetween(const std::string& file, const std::string& head, const std::string& tail,
                            const std::string& password)
{
    ASSERT_EQ(file.compare(0, head.size(), head), 0) << file;
    ASSERT_GE(file.size(), head.size() + tail.size()) << file;
    EXPECT_EQ(file.substr(file.size() - tail.size()), tail) << file;
    std::string value = file.substr(head.size(), file.size() - head.size() - tail.size());
    std::string decrypted;
    EXPECT_TRUE(UnprotectValue(value, &decrypted)) << "not DPAPI with the entropy qvpush: " << value;
    EXPECT_EQ(decrypted, password);
}

TEST(SaveSettings, WritesTheSevenDialogKeysInOrder)
{
    TempAccount account;
    SetCurrent(1, "imap.example.jp", 993, "taro", "abc", 0);
    Saved.tls = 1;
    strcpy(Saved.tlsFingerprint, "AB"); // set in the file only, never written
    ASSERT_TRUE(SaveSettings(account.Folder().c_str(), Saved));
    ExpectEncryptedBetween(account.ReadIni(),
                           "[imap4]\r\nuse=1\r\nserver=imap.example.jp\r\nport=993\r\nuser=taro\r\npassProtected=",
                           "\r\nrecvAtConnected=0\r\ntls=1\r\n", "abc");
}

TEST(SaveSettings, EmptyPasswordIsWrittenAsAnEmptyValue)
{
    TempAccount account;
    SetCurrent(0, "", -1, "", "", 1);
    ASSERT_TRUE(SaveSettings(account.Folder().c_str(), Saved));
    EXPECT_EQ(account.ReadIni(), "[imap4]\r\nuse=0\r\nserver=\r\nport=-1\r\nuser=\r\npassProtected=\r\n"
                                 "recvAtConnected=1\r\ntls=0\r\n");
}

TEST(SaveSettings, OlderFormIsReplacedByTheEncryptedOne)
{
    TempAccount account;
    account.WriteIni(Ini("use=1\r\nuser=taro\r\npass=FiY2\r\nrecvAtConnected=1\r\n"));
    Settings loaded = Load(account);
    ASSERT_STREQ(loaded.pass, "abc");
    ASSERT_TRUE(SaveSettings(account.Folder().c_str(), loaded));
    // New keys go to the end of the section, in the order they are written.
    ExpectEncryptedBetween(account.ReadIni(),
                           "[imap4]\r\nuse=1\r\nuser=taro\r\nrecvAtConnected=1\r\nserver=\r\nport=143\r\n"
                           "passProtected=",
                           "\r\ntls=0\r\n", "abc");
    EXPECT_STREQ(Load(account).pass, "abc");
}

TEST(SaveSettings, PasswordThatDidNotDecryptStaysInTheFileAsItWas)
{
    TempAccount account;
    const std::string foreign = ProtectedValue("abc", "another program");
    account.WriteIni(Ini("server=old.example.jp\r\npassProtected=" + foreign + "\r\n"));
    Settings loaded = Load(account);
    ASSERT_EQ(loaded.passState, PasswordUnreadable);
    strcpy(loaded.server, "new.example.jp");
    ASSERT_TRUE(SaveSettings(account.Folder().c_str(), loaded));
    std::string file = account.ReadIni();
    EXPECT_NE(file.find("passProtected=" + foreign + "\r\n"), std::string::npos) << file;
    EXPECT_EQ(file.find("\r\npass="), std::string::npos) << file;
    loaded = Load(account);
    EXPECT_STREQ(loaded.server, "new.example.jp");
    EXPECT_EQ(loaded.passState, PasswordUnreadable);
}

TEST(SaveSettings, SavedSettingsLoadBackUnchanged)
{
    std::string longPassword;
    for (int i = 0; i < 49; ++i)
        longPassword += "\x82\xA0"; // 98 bytes of あ
    longPassword += "z";
    ASSERT_EQ(longPassword.size(), 99u);
    std::string longServer = LongText(299);
    std::string longUser = "山田" + LongText(95);

    TempAccount account;
    SetCurrent(1, longServer.c_str(), 65535, longUser.c_str(), longPassword.c_str(), 1);
    ASSERT_TRUE(SaveSettings(account.Folder().c_str(), Saved));
    Expected expected;
    expected.use = 1;
    expected.server = longServer;
    expected.port = 65535;
    expected.user = longUser;
    expected.pass = longPassword;
    expected.recvAtConnected = 1;
    ExpectLoaded(Load(account), expected); // refreshTime, recvTimeout, debug: the defaults, not 99, 98, 97
}

TEST(SaveSettings, HandWrittenRefreshTimeRecvTimeoutAndDebugSurviveEverySave)
{
    TempAccount account;
    account.WriteIni("; edited by hand\r\n[imap4]\r\nrefreshTime=7\r\nrecvTimeout=33\r\ndebug=1\r\nuse=0\r\n");
    const char* servers[] = {"a.example.jp", "b.example.jp", "c.example.jp"};
    for (int i = 0; i < 3; ++i) {
        SetCurrent(i % 2, servers[i], 143 + i, "taro", "pw", i % 2);
        ASSERT_TRUE(SaveSettings(account.Folder().c_str(), Saved)) << "save " << i;
        Settings loaded = Load(account);
        EXPECT_EQ(loaded.refreshTime, 7) << "save " << i;
        EXPECT_EQ(loaded.recvTimeout, 33) << "save " << i;
        EXPECT_EQ(loaded.debug, 1) << "save " << i;
        EXPECT_STREQ(loaded.server, servers[i]);
    }
    std::string file = account.ReadIni();
    EXPECT_NE(file.find("; edited by hand"), std::string::npos) << file;
    EXPECT_NE(file.find("refreshTime=7\r\n"), std::string::npos) << file;
    EXPECT_NE(file.find("recvTimeout=33\r\n"), std::string::npos) << file;
    EXPECT_NE(file.find("debug=1\r\n"), std::string::npos) << file;
}

TEST(SaveSettings, OtherSectionsAndUnknownKeysAreLeftAlone)
{
    TempAccount account;
    account.WriteIni("[pop3]\r\nuse=1\r\n[imap4]\r\nfolder=INBOX\r\nuse=0\r\n");
    SetCurrent(1, "imap.example.jp", 143, "taro", "abc", 1);
    ASSERT_TRUE(SaveSettings(account.Folder().c_str(), Saved));
    std::string file = account.ReadIni();
    EXPECT_EQ(file.find("[pop3]\r\nuse=1\r\n"), 0u) << file;
    EXPECT_NE(file.find("folder=INBOX\r\n"), std::string::npos) << file;
    EXPECT_EQ(Load(account).use, 1);
}

TEST(SaveSettings, FolderThatDoesNotExistReportsFailureAndCreatesNothing)
{
    TempAccount parent;
    std::string missing = parent.Folder() + "no-such-folder\\";
    SetCurrent(1, "imap.example.jp", 143, "taro", "abc", 1);
    EXPECT_FALSE(SaveSettings(missing.c_str(), Saved));
    EXPECT_EQ(GetFileAttributesA(missing.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(SaveSettings, FileLockedAgainstWritingReportsFailureAndKeepsItsContents)
{
    TempAccount account;
    const std::string before = "[imap4]\r\nuse=0\r\nserver=old.example.jp\r\n";
    account.WriteIni(before);
    // Another program holds the file open and lets others only read it.
    HANDLE holder = CreateFileA(account.IniPath().c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    SetCurrent(1, "new.example.jp", 993, "taro", "abc", 1);
    EXPECT_FALSE(SaveSettings(account.Folder().c_str(), Saved));
    EXPECT_STREQ(Load(account).server, "old.example.jp") << "still readable while locked";
    CloseHandle(holder);
    EXPECT_EQ(account.ReadIni(), before);
}

TEST(SaveSettings, FolderInPlaceOfTheFileReportsFailure)
{
    TempAccount account;
    ASSERT_TRUE(CreateDirectoryA(account.IniPath().c_str(), NULL));
    SetCurrent(1, "new.example.jp", 993, "taro", "abc", 1);
    EXPECT_FALSE(SaveSettings(account.Folder().c_str(), Saved));
    ExpectLoaded(Load(account), Expected());
    RemoveDirectoryA(account.IniPath().c_str());
}

TEST(SaveSettings, ReadOnlyFileReportsFailureAndKeepsItsContents)
{
    TempAccount account;
    const std::string before = "[imap4]\r\nuse=0\r\nserver=old.example.jp\r\n";
    account.WriteIni(before);
    account.SetIniReadOnly(true);
    // Wine lets root write a read-only file; the immutable flag stops root too.
    testing_support::ImmutableFile immutable(account.IniPath());
    ASSERT_TRUE(immutable.Holds()) << immutable.Error();
    SetCurrent(1, "new.example.jp", 993, "taro", "abc", 1);
    EXPECT_FALSE(SaveSettings(account.Folder().c_str(), Saved));
    EXPECT_EQ(account.ReadIni(), before);
}

} // namespace
