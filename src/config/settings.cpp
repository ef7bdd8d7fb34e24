#include "config/settings.h"

#include <windows.h>
#include <wincrypt.h>
#include <limits.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <vector>

#include "diag/format.h"

namespace {

const char Section[] = "imap4";
const char FileName[] = "qvpush.ini";

// Every value is read through a buffer of this size; the stored password may
// be up to 299 characters of Base64 however long the decoded text is.
const DWORD ValueBufferSize = 300;
// The encrypted password is longer: a DPAPI blob of Windows 10 and 11 takes
// over 300 characters of Base64 even for a short password.
const DWORD ProtectedBufferSize = 4096;

// Ties the encrypted password to this program: another program of the same
// Windows user cannot decrypt it without these bytes.
const char ProtectEntropy[] = "qvpush";

// Reads a value; an absent key and an empty value both give "". The text is
// cut to size - 1 bytes.
void ReadValue(const std::string& file, const char* key, char* text, DWORD size)
{
    text[0] = '\0';
    GetPrivateProfileStringA(Section, key, "", text, size, file.c_str());
    text[size - 1] = '\0';
}

// Whether strtol finds a number at the start of the text.
bool HasNumber(const char* text)
{
    char* end = NULL;
    strtol(text, &end, 0);
    return end != text;
}

int ReadInteger(const std::string& file, const char* key, int fallback)
{
    char text[ValueBufferSize];
    ReadValue(file, key, text, sizeof text);
    if (text[0] == '\0')
        return fallback;
    // "tls" chooses between plain text and encryption: a value that is no
    // number must not read as 0 (plain) but as a value the watcher refuses.
    if (strcmp(key, "tls") == 0 && !HasNumber(text))
        return -1;
    return TextToInt32(text, 0);
}

// Copies the password into a field of `size` bytes. A password too long for
// it loses its tail, but never half of a double-byte character: a lead byte
// whose second byte would not fit goes as well.
void CopyPassword(const std::string& password, char* field, size_t size)
{
    size_t limit = size - 1;
    size_t length = password.size();
    if (length > limit) {
        size_t cut = 0;
        while (cut < limit) {
            size_t step = IsDBCSLeadByte(static_cast<BYTE>(password[cut])) && cut + 1 < length ? 2 : 1;
            if (cut + step > limit)
                break;
            cut += step;
        }
        length = cut;
    }
    memcpy(field, password.data(), length);
    field[length] = '\0';
}

// Base64 of the bytes on one line; false when the system could not encode.
bool ToBase64(const BYTE* data, DWORD length, std::string& text)
{
    text.clear();
    DWORD size = 0;
    if (!CryptBinaryToStringA(data, length, CRYPT_STRING_BASE64, NULL, &size) || size == 0)
        return false;
    std::vector<char> buffer(size + 1, '\0');
    DWORD written = size;
    if (!CryptBinaryToStringA(data, length, CRYPT_STRING_BASE64, buffer.data(), &written))
        return false;
    buffer[size] = '\0';
    // The encoder ends the text with CR LF and breaks it every 64
    // characters; the file keeps the value on one line.
    for (const char* c = buffer.data(); *c != '\0'; ++c)
        if (*c != '\r' && *c != '\n')
            text += *c;
    return true;
}

// The bytes of a Base64 text (all of its characters); false when it is not
// Base64.
bool FromBase64(const std::string& text, std::vector<BYTE>& bytes)
{
    bytes.clear();
    DWORD length = static_cast<DWORD>(text.size());
    DWORD size = 0;
    if (!CryptStringToBinaryA(text.c_str(), length, CRYPT_STRING_BASE64, NULL, &size, NULL, NULL))
        return false;
    bytes.assign(size + 1, 0);
    DWORD decoded = size;
    if (!CryptStringToBinaryA(text.c_str(), length, CRYPT_STRING_BASE64, bytes.data(), &decoded, NULL, NULL) ||
        decoded > size)
        return false;
    bytes.resize(decoded);
    return true;
}

// The stored form of a password; false when the system could not encode it.
bool EncodeStored(const std::string& password, std::string& stored)
{
    stored.clear();
    if (password.empty())
        return true; // an empty password is stored as an empty value
    std::string bytes = password;
    SwapNibbles(bytes);
    return ToBase64(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), stored);
}

// The output of CryptProtectData or CryptUnprotectData: the system's
// allocation, wiped before it is freed, since it may hold the password.
class SystemBlob {
public:
    SystemBlob()
    {
        blob.cbData = 0;
        blob.pbData = NULL;
    }
    ~SystemBlob()
    {
        if (blob.pbData == NULL)
            return;
        SecureZeroMemory(blob.pbData, blob.cbData);
        LocalFree(blob.pbData);
    }
    SystemBlob(const SystemBlob&) = delete;
    SystemBlob& operator=(const SystemBlob&) = delete;
    DATA_BLOB blob;
};

DATA_BLOB EntropyBlob()
{
    DATA_BLOB entropy;
    entropy.cbData = sizeof ProtectEntropy - 1;
    entropy.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(ProtectEntropy));
    return entropy;
}

// Whether the file's section holds the key, with any value (also empty).
bool HasKey(const std::string& file, const char* key)
{
    // The names of all keys of the section, each ending in a zero byte; a
    // list cut to the buffer's size comes back as size - 2 bytes.
    std::vector<char> names(4096);
    for (;;) {
        DWORD size = static_cast<DWORD>(names.size());
        DWORD length = GetPrivateProfileStringA(Section, NULL, "", names.data(), size, file.c_str());
        if (length + 2 < size || names.size() >= 1024 * 1024)
            break;
        names.assign(names.size() * 4, '\0');
    }
    for (const char* name = names.data(); *name != '\0'; name += strlen(name) + 1)
        if (lstrcmpiA(name, key) == 0)
            return true;
    return false;
}

// The password of the file into `field` and its state. The obfuscated
// "pass" of older versions wins when the file has it at all: an older
// version wrote it after the encrypted one, which it does not know.
PasswordState ReadPassword(const std::string& file, char* field, size_t size)
{
    char legacy[ValueBufferSize];
    ReadValue(file, "pass", legacy, sizeof legacy);
    std::string password;
    if (legacy[0] != '\0' || HasKey(file, "pass")) {
        password = legacy;
        DecodePassword(password);
        CopyPassword(password, field, size);
        return PasswordKnown;
    }
    std::vector<char> stored(ProtectedBufferSize, '\0');
    ReadValue(file, "passProtected", stored.data(), ProtectedBufferSize);
    if (!UnprotectPassword(stored.data(), &password)) {
        field[0] = '\0';
        return PasswordUnreadable;
    }
    CopyPassword(password, field, size);
    SecureZeroMemory(&password[0], password.size());
    return PasswordKnown;
}

bool WriteValue(const std::string& file, const char* key, const char* value)
{
    return WritePrivateProfileStringA(Section, key, value, file.c_str()) != FALSE;
}

bool WriteInteger(const std::string& file, const char* key, int value)
{
    std::string text;
    FormatString(text, "%d", value);
    return WriteValue(file, key, text.c_str());
}

// Where each key of kSettingsKeys goes in the record, in the same order.
struct KeyPlace {
    int Settings::*number; // integer keys
    size_t textOffset;     // text keys: the field's offset and size
    size_t textSize;
};

const KeyPlace KeyPlaces[] = {
    {&Settings::use, 0, 0},
    {nullptr, offsetof(Settings, server), sizeof(Settings::server)},
    {&Settings::port, 0, 0},
    {&Settings::refreshTime, 0, 0},
    {&Settings::recvTimeout, 0, 0},
    {&Settings::debug, 0, 0},
    {nullptr, offsetof(Settings, user), sizeof(Settings::user)},
    {nullptr, offsetof(Settings, pass), sizeof(Settings::pass)},
    {nullptr, offsetof(Settings, pass), sizeof(Settings::pass)}, // passProtected: read with pass
    {&Settings::recvAtConnected, 0, 0},
    {&Settings::tls, 0, 0},
    {nullptr, offsetof(Settings, tlsFingerprint), sizeof(Settings::tlsFingerprint)},
    {&Settings::keepAlive, 0, 0},
    {&Settings::logFile, 0, 0},
};

} // namespace

const SettingsKey kSettingsKeys[] = {
    {"use", false, 0, 0, 1, true},
    {"server", true, 0, 0, 0, true},
    {"port", false, 143, 1, 65535, true},
    {"refreshTime", false, 12, 1, 29, false},
    {"recvTimeout", false, 20, 0, 3600, false},
    {"debug", false, 0, 0, 1, false},
    {"user", true, 0, 0, 0, true},
    {"pass", true, 0, 0, 0, true},
    {"passProtected", true, 0, 0, 0, true},
    {"recvAtConnected", false, 1, 0, 1, true},
    {"tls", false, 0, 0, 2, true},
    {"tlsFingerprint", true, 0, 0, 0, false},
    {"keepAlive", false, 60, 0, 7200, false},
    {"logFile", false, 0, 0, 1, false},
};
const size_t kSettingsKeyCount = sizeof kSettingsKeys / sizeof kSettingsKeys[0];
static_assert(sizeof KeyPlaces / sizeof KeyPlaces[0] == sizeof kSettingsKeys / sizeof kSettingsKeys[0],
              "one place per key");

int TextToInt32(const char* text, int base)
{
    // long is 32 bits on Windows, where strtol itself saturates; the clamp
    // keeps the same result where long is wider.
    long value = strtol(text, NULL, base);
#if LONG_MAX > INT_MAX
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
#endif
    return static_cast<int>(value);
}

std::string SettingsFileName(const char* account)
{
    return std::string(account) + FileName;
}

void LoadSettings(const char* account, Settings* out)
{
    std::string file = SettingsFileName(account);
    Settings loaded;
    memset(&loaded, 0, sizeof loaded);
    try {
        for (size_t i = 0; i < kSettingsKeyCount; ++i) {
            const SettingsKey& key = kSettingsKeys[i];
            const KeyPlace& place = KeyPlaces[i];
            if (!key.text) {
                loaded.*place.number = ReadInteger(file, key.name, key.defaultValue);
                continue;
            }
            char* field = reinterpret_cast<char*>(&loaded) + place.textOffset;
            if (strcmp(key.name, "passProtected") == 0)
                continue; // read with "pass", which wins over it
            if (strcmp(key.name, "pass") != 0) {
                ReadValue(file, key.name, field, static_cast<DWORD>(place.textSize));
                continue;
            }
            // The password is stored encrypted or encoded, in a value longer
            // than the field.
            loaded.passState = ReadPassword(file, field, place.textSize);
        }
    } catch (const std::bad_alloc&) {
        // Out of memory: every field zero, the account switched off.
        memset(&loaded, 0, sizeof loaded);
    }
    *out = loaded;
}

bool SaveSettings(const char* account, const Settings& settings)
{
    try {
        std::string file = SettingsFileName(account);
        Settings saved = settings;
        std::string password(saved.pass, strnlen(saved.pass, sizeof saved.pass));
        std::string stored;
        // Encrypted before anything is written, so that a failure here leaves
        // the file as it was. A password that did not decrypt was never
        // known here: the file keeps what it holds.
        const bool writePassword = saved.passState == PasswordKnown;
        if (writePassword && !ProtectPassword(password, &stored))
            return false;
        saved.server[sizeof saved.server - 1] = '\0';
        saved.user[sizeof saved.user - 1] = '\0';
        // refreshTime, recvTimeout, debug and tlsFingerprint are the user's
        // own edits of the file and are not written here (a certificate
        // trusted in the dialog goes through SavePinnedFingerprint). Every
        // write is tried, so that one refused key does not keep the others
        // from the file.
        bool written = WriteInteger(file, "use", saved.use);
        written = WriteValue(file, "server", saved.server) && written;
        written = WriteInteger(file, "port", saved.port) && written;
        written = WriteValue(file, "user", saved.user) && written;
        if (writePassword) {
            written = WriteValue(file, "passProtected", stored.c_str()) && written;
            // The obfuscated form of older versions goes: it would win.
            written = WriteValue(file, "pass", NULL) && written;
        }
        written = WriteInteger(file, "recvAtConnected", saved.recvAtConnected) && written;
        written = WriteInteger(file, "tls", saved.tls) && written;
        // Section, key and value all absent: flush the system's cached copy
        // of the file. Its result says nothing about the writes.
        WritePrivateProfileStringA(NULL, NULL, NULL, file.c_str());
        return written;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool SavePinnedFingerprint(const char* account, const char* fingerprint)
{
    try {
        std::string file = SettingsFileName(account);
        bool written = WriteValue(file, "tlsFingerprint", fingerprint[0] != '\0' ? fingerprint : NULL);
        WritePrivateProfileStringA(NULL, NULL, NULL, file.c_str());
        return written;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void CopyFileOnlyKeys(const Settings& from, Settings* to)
{
    for (size_t i = 0; i < kSettingsKeyCount; ++i) {
        if (kSettingsKeys[i].inDialog)
            continue;
        const KeyPlace& place = KeyPlaces[i];
        if (place.number != nullptr) {
            to->*place.number = from.*place.number;
            continue;
        }
        memcpy(reinterpret_cast<char*>(to) + place.textOffset,
               reinterpret_cast<const char*>(&from) + place.textOffset, place.textSize);
    }
}

void SwapNibbles(std::string& text)
{
    for (char& c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        c = static_cast<char>(((byte & 0x0F) << 4) | (byte >> 4));
    }
}

void EncodePassword(std::string& text)
{
    std::string stored;
    if (!EncodeStored(text, stored))
        stored.clear();
    text = stored;
}

void DecodePassword(std::string& text)
{
    std::string password;
    std::vector<BYTE> bytes;
    // A value that is not Base64 gives "".
    if (!text.empty() && FromBase64(text, bytes)) {
        bytes.push_back(0);
        // The password ends at the first zero byte.
        password = reinterpret_cast<const char*>(bytes.data());
        SwapNibbles(password);
    }
    text = password;
}

bool ProtectPassword(const std::string& password, std::string* stored)
{
    stored->clear();
    if (password.empty())
        return true; // an empty password is stored as an empty value
    DATA_BLOB plain;
    plain.cbData = static_cast<DWORD>(password.size());
    plain.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(password.data()));
    DATA_BLOB entropy = EntropyBlob();
    SystemBlob sealed;
    if (!CryptProtectData(&plain, NULL, &entropy, NULL, NULL, CRYPTPROTECT_UI_FORBIDDEN, &sealed.blob))
        return false;
    return ToBase64(sealed.blob.pbData, sealed.blob.cbData, *stored);
}

bool UnprotectPassword(const std::string& stored, std::string* password)
{
    password->clear();
    if (stored.empty())
        return true;
    std::vector<BYTE> bytes;
    if (!FromBase64(stored, bytes) || bytes.empty())
        return false;
    DATA_BLOB sealed;
    sealed.cbData = static_cast<DWORD>(bytes.size());
    sealed.pbData = bytes.data();
    DATA_BLOB entropy = EntropyBlob();
    SystemBlob plain;
    if (!CryptUnprotectData(&sealed, NULL, &entropy, NULL, NULL, CRYPTPROTECT_UI_FORBIDDEN, &plain.blob))
        return false;
    // The password ends at the first zero byte, as the older form's does.
    const char* text = reinterpret_cast<const char*>(plain.blob.pbData);
    password->assign(text, strnlen(text, plain.blob.cbData));
    return true;
}
