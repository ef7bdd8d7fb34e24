// The encrypted password of a settings file ("passProtected") made and read
// here with the system's own calls, apart from the plug-in's code: DPAPI for
// the current Windows user, then Base64 on one line.
#pragma once

#include <string>

namespace testing_support {

// The value the plug-in writes for `password` when `entropy` is "qvpush".
std::string ProtectedValue(const std::string& password, const std::string& entropy = "qvpush");
// The password in such a value; false when it does not decrypt with `entropy`.
bool UnprotectValue(const std::string& value, std::string* password, const std::string& entropy = "qvpush");

} // namespace testing_support
