#include "support/protected_password.h"

#include <windows.h>
#include <wincrypt.h>

#include <vector>

namespace testing_support {

namespace {

DATA_BLOB Blob(const std::string& bytes)
{
    DATA_BLOB blob;
    blob.cbData = static_cast<DWORD>(bytes.size());
    blob.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()));
    return blob;
}

std::string TakeBlob(DATA_BLOB* blob)
{
    std::string bytes(reinterpret_cast<const char*>(blob->pbData), blob->cbData);
    LocalFree(blob->pbData);
    return bytes;
}

} // namespace

std::string ProtectedValue(const std::string& password, const std::string& entropy)
{
    DATA_BLOB plain = Blob(password);
    DATA_BLOB salt = Blob(entropy);
    DATA_BLOB sealed = {0, NULL};
    if (!CryptProtectData(&plain, NULL, &salt, NULL, NULL, CRYPTPROTECT_UI_FORBIDDEN, &sealed))
        return "(CryptProtectData failed)";
    std::string bytes = TakeBlob(&sealed);
    DWORD size = 0;
    const BYTE* data = reinterpret_cast<const BYTE*>(bytes.data());
    DWORD flags = CRYPT_STRING_BASE64;
    if (!CryptBinaryToStringA(data, static_cast<DWORD>(bytes.size()), flags, NULL, &size))
        return "(CryptBinaryToStringA failed)";
    std::vector<char> text(size + 1, '\0');
    if (!CryptBinaryToStringA(data, static_cast<DWORD>(bytes.size()), flags, text.data(), &size))
        return "(CryptBinaryToStringA failed)";
    std::string value;
    for (const char* c = text.data(); *c != '\0'; ++c)
        if (*c != '\r' && *c != '\n')
            value += *c; // one line
    return value;
}

bool UnprotectValue(const std::string& value, std::string* password, const std::string& entropy)
{
    password->clear();
    DWORD size = 0;
    if (!CryptStringToBinaryA(value.c_str(), static_cast<DWORD>(value.size()), CRYPT_STRING_BASE64, NULL, &size,
                              NULL, NULL))
        return false;
    std::string bytes(size, '\0');
    if (!CryptStringToBinaryA(value.c_str(), static_cast<DWORD>(value.size()), CRYPT_STRING_BASE64,
                              reinterpret_cast<BYTE*>(&bytes[0]), &size, NULL, NULL))
        return false;
    bytes.resize(size);
    DATA_BLOB sealed = Blob(bytes);
    DATA_BLOB salt = Blob(entropy);
    DATA_BLOB plain = {0, NULL};
    if (!CryptUnprotectData(&sealed, NULL, &salt, NULL, NULL, CRYPTPROTECT_UI_FORBIDDEN, &plain))
        return false;
    *password = TakeBlob(&plain);
    return true;
}

} // namespace testing_support
