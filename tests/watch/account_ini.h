// Writes an account's qvpush.ini for a test, with the password stored the
// way the plug-in stores it.
#pragma once

#include <windows.h>

#include <string>

#include "config/settings.h"

struct AccountIni {
    int use = 1;
    std::string server = "127.0.0.1";
    int port = 143;
    std::string user;
    std::string pass;
    int debug = 1;
    int recvAtConnected = 0;
    int refreshTime = 12;
    int recvTimeout = 20;
    int keepAlive = 60;
    int logFile = 0;
};

inline void WriteAccountIni(const std::string& folder, const AccountIni& ini)
{
    std::string file = folder + "qvpush.ini";
    std::string pass = ini.pass;
    EncodePassword(pass);
    const struct {
        const char* key;
        std::string value;
    } keys[] = {
        {"use", std::to_string(ini.use)},
        {"server", ini.server},
        {"port", std::to_string(ini.port)},
        {"user", ini.user},
        {"pass", pass},
        {"debug", std::to_string(ini.debug)},
        {"recvAtConnected", std::to_string(ini.recvAtConnected)},
        {"refreshTime", std::to_string(ini.refreshTime)},
        {"recvTimeout", std::to_string(ini.recvTimeout)},
        {"keepAlive", std::to_string(ini.keepAlive)},
        {"logFile", std::to_string(ini.logFile)},
    };
    for (const auto& key : keys)
        WritePrivateProfileStringA("imap4", key.key, key.value.c_str(), file.c_str());
    WritePrivateProfileStringA(NULL, NULL, NULL, file.c_str());
}
