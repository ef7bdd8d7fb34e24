// An account on the tests' Dovecot with its settings file, for tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/dovecot.h"
#include "watch/account_ini.h"

// A new user on the tests' Dovecot whose settings file goes into `folder`:
// the server's port and the user filled in, and the password "pw-" and the
// user's name unless `ini` names one. Answers the user's name.
inline std::string WriteDovecotAccount(const std::string& folder, AccountIni ini = AccountIni())
{
    std::string user = dovecot::UniqueUser("a");
    if (!dovecot::AddUser(user, "pw-" + user))
        ADD_FAILURE() << "could not add " << user << ": " << dovecot::LastError();
    ini.port = dovecot::ImapPort();
    ini.user = user;
    if (ini.pass.empty())
        ini.pass = "pw-" + user;
    WriteAccountIni(folder, ini);
    return user;
}
