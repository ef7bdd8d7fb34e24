// Writes an account's qvpush.ini with the plug-in's own settings code, the
// way the setup dialog saves it:
//
//   write_settings.exe ACCOUNT_DIR\ SERVER PORT USER PASSWORD [DEBUG [TLS]]
//
// use and recvAtConnected are set to 1. DEBUG, when given, is written as a
// user would edit the file by hand (the dialog never writes it). TLS is the
// encryption the dialog offers: 0 none, 1 SSL/TLS, 2 STARTTLS.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "config/settings.h"

int main(int argc, char** argv)
{
    if (argc < 6) {
        fprintf(stderr, "usage: write_settings.exe ACCOUNT_DIR\\ SERVER PORT USER PASSWORD [DEBUG [TLS]]\n");
        return 2;
    }
    const char* account = argv[1];
    Settings settings;
    LoadSettings(account, &settings);
    settings.use = 1;
    settings.recvAtConnected = 1;
    settings.port = atoi(argv[3]);
    snprintf(settings.server, sizeof settings.server, "%s", argv[2]);
    snprintf(settings.user, sizeof settings.user, "%s", argv[4]);
    snprintf(settings.pass, sizeof settings.pass, "%s", argv[5]);
    if (argc > 7)
        settings.tls = atoi(argv[7]);
    if (!SaveSettings(account, settings)) {
        fprintf(stderr, "could not write %sqvpush.ini\n", account);
        return 1;
    }
    if (argc > 6) {
        std::string file = std::string(account) + "qvpush.ini";
        WritePrivateProfileStringA("imap4", "debug", argv[6], file.c_str());
        WritePrivateProfileStringA(NULL, NULL, NULL, file.c_str());
    }
    return 0;
}
