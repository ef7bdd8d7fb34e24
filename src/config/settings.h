// The per-account settings: the record, and the file "qvpush.ini" in the
// account's folder, section "imap4".
#pragma once

#include <string>

// Whether the password in a record is one to log in with. The file keeps it
// encrypted for the Windows user who saved it ("passProtected"); another
// user, or the file copied to another PC, cannot decrypt it. Such a password
// is never sent: the user is asked to type it again.
enum PasswordState {
    PasswordKnown = 0,  // pass holds the password (possibly empty)
    PasswordUnreadable, // the file's password did not decrypt; pass is empty
};

struct Settings {
    int use;             // non-zero: watch this account
    int port;            // TCP port of the IMAP4 server
    int refreshTime;     // minutes between IDLE renewals
    int recvTimeout;     // seconds each response line may take
    int debug;           // non-zero: the watcher writes its trace
    int recvAtConnected; // non-zero: check for mail once IDLE is reached
    int tls;             // 0 plain, 1 implicit TLS, 2 STARTTLS; anything else is a settings error
    int keepAlive;       // seconds without traffic before TCP keepalive probes; 0: none
    int logFile;         // non-zero: the trace also goes to "qvpush.log" in the account's folder
    char server[300];
    char user[100];
    char pass[100];      // plain text in memory, encrypted in the file (see PasswordState)
    PasswordState passState;
    char tlsFingerprint[200]; // pinned SHA-256 of the server's certificate, as written ("" none)
};

// Every key of section "imap4", in the order LoadSettings reads them. The
// user guide's table of keys is checked against this one.
struct SettingsKey {
    const char* name;       // key in section "imap4"
    bool text;              // a text value (server, user, pass, passProtected, tlsFingerprint)
    int defaultValue;       // integer keys: the value when the key is missing or empty
    int minValue, maxValue; // integer keys: the values that mean something
    bool inDialog;          // the setup dialog shows and saves it
};
extern const SettingsKey kSettingsKeys[];
extern const size_t kSettingsKeyCount;

// The account folder followed directly by "qvpush.ini": the host's folder
// text already ends in its separator, none is added.
std::string SettingsFileName(const char* account);

// Fills out completely, from the file of the account folder or from the
// defaults. account + "qvpush.ini" names the file.
void LoadSettings(const char* account, Settings* out);
// Writes the seven settings the dialog shows to the account's file, the
// password encrypted for the current Windows user as "passProtected" (the
// obfuscated "pass" of older versions is removed). A password that did not
// decrypt is left in the file as it is. False when the file could not be
// written.
bool SaveSettings(const char* account, const Settings& settings);

// Writes "tlsFingerprint", which SaveSettings never writes: a certificate
// trusted in the setup dialog, or "" to remove the key (a pin for a server
// the dialog moved away from). False when the file could not be written.
bool SavePinnedFingerprint(const char* account, const char* fingerprint);

// Copies the keys that only the file sets (inDialog false in kSettingsKeys)
// from one record into another; the keys the dialog shows stay as they are.
void CopyFileOnlyKeys(const Settings& from, Settings* to);

// The older stored form of a password ("pass"): each byte's halves
// exchanged, then Base64 on one line. DecodePassword gives "" for a value
// that is not Base64.
void SwapNibbles(std::string& text);
void EncodePassword(std::string& text);
void DecodePassword(std::string& text);

// The stored form of "passProtected": the password encrypted with DPAPI for
// the current Windows user (entropy "qvpush"), in Base64 on one line. An
// empty password is stored as "". ProtectPassword fails when the system
// cannot encrypt; UnprotectPassword when the value is not Base64 or does not
// decrypt for this user.
bool ProtectPassword(const std::string& password, std::string* stored);
bool UnprotectPassword(const std::string& stored, std::string* password);

// strtol's reading of a number (leading blanks, optional sign; base 0 also
// takes 0x.. as hexadecimal and 0.. as octal), saturated to the 32-bit range.
// A text without digits gives 0.
int TextToInt32(const char* text, int base);
