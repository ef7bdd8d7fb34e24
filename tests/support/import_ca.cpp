// Makes a CA trusted in this Wine prefix: adds the PEM certificate to the
// local machine's ROOT store in the registry, which every chain build of the
// prefix consults. Wine's certutil cannot do it.
//
//   import_ca.exe CA.pem
//
// Exit code 0 when the certificate is in the store (added now or before).
#include <windows.h>
#include <wincrypt.h>

#include <stdio.h>

#include <string>
#include <vector>

static bool ReadFileBytes(const char* path, std::string* out)
{
    FILE* f = fopen(path, "rb");
    if (!f)
        return false;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, f)) > 0)
        out->append(buffer, got);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: import_ca.exe CA.pem\n");
        return 2;
    }
    std::string pem;
    if (!ReadFileBytes(argv[1], &pem) || pem.empty()) {
        fprintf(stderr, "import_ca: cannot read %s\n", argv[1]);
        return 1;
    }
    DWORD derSize = 0;
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                              nullptr, &derSize, nullptr, nullptr) ||
        derSize == 0) {
        fprintf(stderr, "import_ca: %s holds no PEM certificate (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    std::vector<BYTE> der(derSize);
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                              der.data(), &derSize, nullptr, nullptr)) {
        fprintf(stderr, "import_ca: CryptStringToBinaryA failed (error %lu)\n", GetLastError());
        return 1;
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_A, 0, 0,
                                     CERT_SYSTEM_STORE_LOCAL_MACHINE, "ROOT");
    if (!store) {
        fprintf(stderr, "import_ca: CertOpenStore(ROOT) failed (error %lu)\n", GetLastError());
        return 1;
    }
    BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                  der.data(), derSize,
                                                  CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    DWORD error = GetLastError();
    CertCloseStore(store, 0);
    if (!added) {
        fprintf(stderr, "import_ca: CertAddEncodedCertificateToStore failed (error 0x%08lX)\n", error);
        return 1;
    }
    printf("import_ca: %s is in the local machine's ROOT store\n", argv[1]);
    return 0;
}
