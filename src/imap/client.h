// The IMAP client of one connection: the greeting, CAPABILITY, STARTTLS (the
// encryption itself is the owner's, through a callback), LOGIN, SELECT,
// IDLE and DONE, NOOP, and the reading of what the server says unasked.
// It knows nothing of settings, windows or policy: it takes a small record
// of what it needs, hands unasked data (EXISTS, EXPUNGE, RECENT, BYE) to a
// record of callbacks its owner fills in, and says how each command ended.
// Worker thread only.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "imap/reader.h"
#include "imap/wire.h"
#include "net/stream.h"

// What the server tells without being asked, in the order it is read,
// whatever command is under way (or none). Each may be null.
struct UnaskedHandler {
    void* owner = nullptr;
    void (*exists)(void* owner, int count) = nullptr;   // "* n EXISTS"
    void (*expunge)(void* owner, int number) = nullptr; // "* n EXPUNGE"
    void (*recent)(void* owner, int count) = nullptr;   // "* n RECENT"
    void (*bye)(void* owner) = nullptr;                 // "* BYE"
};

enum ClientEnd {
    ClientDone,    // as asked
    ClientLost,    // the connection failed, closed, or did not answer in time: it must go
    ClientRefused, // the server completed the command with NO or BAD (or would not idle)
    ClientStopped, // the worker's stop
    ClientMessage, // a thread message: the worker serves it before anything else
};

struct ImapClient {
    ByteStream* stream = nullptr;
    LineReader reader;
    int tagCounter = 0;          // number of the last tagged command
    WaitControl control;         // the worker's stop and messages
    Tracer tracer;
    DWORD responseTimeoutMs = 0; // each answer of a command; 0: no limit
    UnaskedHandler unasked;
    // Told just before every wait that blocks (see ByteWait).
    void (*beforeBlocking)(void* owner) = nullptr;
    void* blockingOwner = nullptr;
};

// A new connection: tags start again at C001.
void BeginClient(ImapClient* client, ByteStream* stream);
// The same connection, now encrypted: nothing read before carries over.
void SwitchStream(ImapClient* client, ByteStream* stream);

// A tagged command (the next tag), traced as it goes out. Complete lines
// already received stay to be read in order after it; only a partial line
// goes.
ClientEnd SendCommand(ImapClient* client, const std::string& text);
// Reads up to the tagged completion of the last command, handing untagged
// data on: ClientDone for OK, ClientRefused for any other completion.
// *completion gets the completing response; *byeSeen is set when a BYE came
// on the way.
ClientEnd AwaitCompletion(ImapClient* client, DWORD timeoutMs, Response* completion = nullptr,
                          bool* byeSeen = nullptr);

struct Greeting {
    bool bye = false;     // "* BYE": the server is going away
    bool preauth = false; // "* PREAUTH": logged in already
    bool listed = false;  // its capabilities came with it
    std::vector<std::string> capabilities;
};
// The first untagged line, within timeoutMs.
ClientEnd ReadGreeting(ImapClient* client, DWORD timeoutMs, Greeting* greeting);
// CAPABILITY: the names the server lists.
ClientEnd RequestCapabilities(ImapClient* client, std::vector<std::string>* names);
// STARTTLS and its tagged OK (ClientRefused for anything else). The caller
// makes the connection secure next, before anything more is read.
ClientEnd RequestStartTls(ImapClient* client);

// LOGIN with the user and password as IMAP astrings. On ClientDone,
// *answer says what the server's answer means and *afterLogin holds the
// capabilities its OK listed (*listed whether it did).
ClientEnd Login(ImapClient* client, const std::string& user, const std::string& password, LoginAnswer* answer,
                std::vector<std::string>* afterLogin, bool* listed);
// SELECT INBOX; its untagged data goes to the handler.
ClientEnd SelectInbox(ImapClient* client);
// IDLE up to its continuation, within timeoutMs; ClientRefused when the
// server completed it at once: it will not idle.
ClientEnd StartIdle(ImapClient* client, DWORD timeoutMs);
// DONE and the completion of IDLE, within timeoutMs.
ClientEnd EndIdle(ImapClient* client, DWORD timeoutMs);
// NOOP and its completion.
ClientEnd Noop(ImapClient* client);

enum UnaskedEnd {
    UnaskedLine,    // a line was read and handed on
    UnaskedOver,    // the server is going away ("* BYE")
    UnaskedCompleted, // a completion of the last command came: the server ended IDLE
    UnaskedTimeout, // the time ran out
    UnaskedExtra,   // the wait's extra handle was signalled
    UnaskedLost,    // the connection failed or closed
    UnaskedStopped,
    UnaskedMessage,
};
// One line the server sends unasked while the client waits (in IDLE, or
// between polls), within `wait`.
UnaskedEnd ReadUnasked(ImapClient* client, const ByteWait& wait);
// Whether bytes received wait to be read without a wait.
bool HasUnread(ImapClient* client);
// Whether the start of a line waits for its end.
bool LineUnderWay(const ImapClient& client);
void DropPartialLine(ImapClient* client);
