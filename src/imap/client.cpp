#include "imap/client.h"

namespace {

ClientEnd EndOf(LineEnd end)
{
    switch (end) {
    case LineRead:
        return ClientDone;
    case LineStop:
        return ClientStopped;
    case LineMessage:
        return ClientMessage;
    default:
        return ClientLost;
    }
}

std::string LastTag(const ImapClient* client)
{
    return CommandTag(client->tagCounter);
}

ByteWait WaitFor(const ImapClient* client, DWORD timeoutMs)
{
    ByteWait wait;
    wait.timeoutMs = timeoutMs;
    wait.beforeBlocking = client->beforeBlocking;
    wait.owner = client->blockingOwner;
    return wait;
}

ClientEnd ReadResponse(ImapClient* client, DWORD timeoutMs, Response* response)
{
    std::string line;
    LineEnd end = ReadResponseLine(*client->stream, &client->reader, client->control, WaitFor(client, timeoutMs), &line);
    if (end != LineRead)
        return EndOf(end);
    *response = DecodeResponse(line);
    return ClientDone;
}

// Hands an untagged response to the owner when it is data the owner reads.
void HandUnasked(ImapClient* client, const Response& response)
{
    const UnaskedHandler& handler = client->unasked;
    if (IsCountOf(response, "EXISTS")) {
        if (handler.exists != nullptr)
            handler.exists(handler.owner, response.number);
    } else if (IsCountOf(response, "EXPUNGE")) {
        if (handler.expunge != nullptr)
            handler.expunge(handler.owner, response.number);
    } else if (IsCountOf(response, "RECENT")) {
        if (handler.recent != nullptr)
            handler.recent(handler.owner, response.number);
    } else if (IsBye(response)) {
        if (handler.bye != nullptr)
            handler.bye(handler.owner);
    }
}

bool SendText(ImapClient* client, const std::string& bytes)
{
    return client->stream->Send(bytes.data(), bytes.size());
}

// Reads up to the tagged completion of the last command, handing untagged
// data on. ClientRefused for a completion other than OK; *completion gets
// the completing response, and *byeSeen is set when a BYE came on the way.
ClientEnd ReadCompletion(ImapClient* client, DWORD timeoutMs, Response* completion = nullptr,
                         bool* byeSeen = nullptr, std::vector<std::string>* capabilityData = nullptr)
{
    std::string tag = LastTag(client);
    for (;;) {
        Response response;
        ClientEnd read = ReadResponse(client, timeoutMs, &response);
        if (read != ClientDone)
            return read;
        if (response.kind == ResponseUntagged) {
            if (byeSeen != nullptr && IsBye(response))
                *byeSeen = true;
            std::vector<std::string> listed;
            if (capabilityData != nullptr && CapabilityData(response, &listed))
                capabilityData->insert(capabilityData->end(), listed.begin(), listed.end());
            HandUnasked(client, response);
        } else if (Completes(response, tag)) {
            if (completion != nullptr)
                *completion = response;
            return response.status == StatusOk ? ClientDone : ClientRefused;
        }
    }
}

} // namespace

ClientEnd SendCommand(ImapClient* client, const std::string& text)
{
    ++client->tagCounter;
    DropPartialLine(&client->reader, client->tracer);
    std::string line = LastTag(client) + " " + text + "\r\n";
    TraceTo(client->tracer, "%s", line.c_str());
    return SendText(client, line) ? ClientDone : ClientLost;
}

ClientEnd AwaitCompletion(ImapClient* client, DWORD timeoutMs, Response* completion, bool* byeSeen)
{
    return ReadCompletion(client, timeoutMs, completion, byeSeen);
}

void BeginClient(ImapClient* client, ByteStream* stream)
{
    client->stream = stream;
    client->tagCounter = 0;
    ForgetPartialLine(client->reader.partial);
}

void SwitchStream(ImapClient* client, ByteStream* stream)
{
    client->stream = stream;
    ForgetPartialLine(client->reader.partial);
}

ClientEnd ReadGreeting(ImapClient* client, DWORD timeoutMs, Greeting* greeting)
{
    // Any untagged line is the greeting, a "* BYE" included.
    Response response;
    do {
        ClientEnd read = ReadResponse(client, timeoutMs, &response);
        if (read != ClientDone)
            return read;
    } while (response.kind != ResponseUntagged);
    greeting->bye = IsBye(response);
    greeting->preauth = response.status == StatusPreauth;
    greeting->capabilities.clear();
    greeting->listed = CapabilityCode(response, &greeting->capabilities);
    return ClientDone;
}

ClientEnd RequestCapabilities(ImapClient* client, std::vector<std::string>* names)
{
    names->clear();
    ClientEnd sent = SendCommand(client, "CAPABILITY");
    if (sent != ClientDone)
        return sent;
    ClientEnd completed = ReadCompletion(client, client->responseTimeoutMs, nullptr, nullptr, names);
    // A CAPABILITY the server refuses leaves nothing to go on with.
    return completed == ClientRefused ? ClientLost : completed;
}

ClientEnd RequestStartTls(ImapClient* client)
{
    ClientEnd sent = SendCommand(client, "STARTTLS");
    if (sent != ClientDone)
        return sent;
    return ReadCompletion(client, client->responseTimeoutMs);
}

ClientEnd Login(ImapClient* client, const std::string& user, const std::string& password, LoginAnswer* answer,
                std::vector<std::string>* afterLogin, bool* listed)
{
    ++client->tagCounter;
    DropPartialLine(&client->reader, client->tracer);
    std::string tag = LastTag(client);
    std::string masked;
    std::vector<std::string> pieces = LoginPieces(user, password, &masked);
    TraceTo(client->tracer, "%s", (tag + " " + masked + "\r\n").c_str());

    Response completion;
    bool byeSeen = false;
    bool completed = false;
    for (size_t i = 0; i < pieces.size() && !completed; ++i) {
        if (i > 0) {
            // Wait for the server's go-ahead for the literal announced last.
            for (;;) {
                Response response;
                ClientEnd read = ReadResponse(client, client->responseTimeoutMs, &response);
                if (read != ClientDone)
                    return read;
                if (response.kind == ResponseContinuation)
                    break;
                if (Completes(response, tag)) {
                    // The server completed the command before it went out whole.
                    completion = response;
                    completed = true;
                    break;
                }
            }
            if (completed)
                break;
        }
        std::string bytes = (i == 0 ? tag + " " : std::string()) + pieces[i] + "\r\n";
        if (!SendText(client, bytes))
            return ClientLost;
    }
    if (!completed) {
        ClientEnd read = ReadCompletion(client, client->responseTimeoutMs, &completion, &byeSeen);
        if (read != ClientDone && read != ClientRefused)
            return read;
    }
    *answer = ReadLoginAnswer(completion, byeSeen);
    afterLogin->clear();
    *listed = CapabilityCode(completion, afterLogin);
    return ClientDone;
}

ClientEnd SelectInbox(ImapClient* client)
{
    ClientEnd sent = SendCommand(client, "SELECT INBOX");
    if (sent != ClientDone)
        return sent;
    return ReadCompletion(client, client->responseTimeoutMs);
}

ClientEnd StartIdle(ImapClient* client, DWORD timeoutMs)
{
    ClientEnd sent = SendCommand(client, "IDLE");
    if (sent != ClientDone)
        return sent;
    std::string tag = LastTag(client);
    for (;;) {
        Response response;
        ClientEnd read = ReadResponse(client, timeoutMs, &response);
        if (read != ClientDone)
            return read;
        if (response.kind == ResponseContinuation)
            return ClientDone;
        // IDLE answered with a completion: the server will not idle.
        if (Completes(response, tag))
            return ClientRefused;
        if (response.kind == ResponseUntagged)
            HandUnasked(client, response);
    }
}

ClientEnd EndIdle(ImapClient* client, DWORD timeoutMs)
{
    DropPartialLine(&client->reader, client->tracer);
    TraceTo(client->tracer, "Send:%s", "DONE");
    if (!SendText(client, "DONE\r\n"))
        return ClientLost;
    // DONE has no tag: the completion awaited is that of the IDLE command.
    return ReadCompletion(client, timeoutMs);
}

ClientEnd Noop(ImapClient* client)
{
    ClientEnd sent = SendCommand(client, "NOOP");
    if (sent != ClientDone)
        return sent;
    return ReadCompletion(client, client->responseTimeoutMs);
}

UnaskedEnd ReadUnasked(ImapClient* client, const ByteWait& given)
{
    ByteWait wait = given;
    wait.beforeBlocking = client->beforeBlocking;
    wait.owner = client->blockingOwner;
    std::string line;
    LineEnd end = ReadResponseLine(*client->stream, &client->reader, client->control, wait, &line);
    switch (end) {
    case LineRead:
        break;
    case LineTimeout:
        return UnaskedTimeout;
    case LineExtra:
        return UnaskedExtra;
    case LineStop:
        return UnaskedStopped;
    case LineMessage:
        return UnaskedMessage;
    default:
        return UnaskedLost;
    }
    Response response = DecodeResponse(line);
    if (IsBye(response))
        return UnaskedOver;
    if (Completes(response, LastTag(client)))
        return UnaskedCompleted;
    if (response.kind == ResponseUntagged)
        HandUnasked(client, response);
    return UnaskedLine;
}

bool HasUnread(ImapClient* client)
{
    return client->stream != nullptr && client->stream->Ready() != 0;
}

bool LineUnderWay(const ImapClient& client)
{
    return LineStarted(client.reader.partial);
}

void DropPartialLine(ImapClient* client)
{
    ForgetPartialLine(client->reader.partial);
}
