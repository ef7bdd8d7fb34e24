// The byte stream a protocol reads from and writes to: the plain connection
// here, or an encrypted one over it (tls/). Received bytes wait in the
// stream until the reader takes them; the one wait of the worker for more
// of them is WaitForBytes. Worker thread only.
#pragma once

#include <windows.h>

#include <stddef.h>

#include "diag/trace.h"
#include "net/connection.h"
#include "net/wait.h"

enum PullResult {
    PullSome,   // bytes were read from the socket (an encrypted stream may have none ready yet)
    PullNone,   // the socket had nothing to read
    PullClosed, // the peer closed the stream
    PullFailed, // the read failed (traced)
};

class ByteStream {
public:
    ByteStream(Connection* connection, const Tracer& tracer) : connection_(connection), tracer_(tracer) {}
    virtual ~ByteStream() = default;
    ByteStream(const ByteStream&) = delete;
    ByteStream& operator=(const ByteStream&) = delete;

    // The received bytes ready to be read, without a wait: *count of them
    // from the pointer on (none: null or 0).
    virtual const char* Peek(size_t* count) = 0;
    // The reader took `count` of the bytes Peek gave.
    virtual void Consume(size_t count) = 0;
    // Reads what the socket holds, without waiting.
    virtual PullResult Pull() = 0;
    // Sends all of the bytes. False when they could not go out (traced).
    virtual bool Send(const char* bytes, size_t count) = 0;
    // Whether more complete lines are already on their way to the reader
    // without a wait: on the socket, or (encrypted) any bytes there.
    virtual bool LinesWaiting() = 0;

    size_t Ready()
    {
        size_t count = 0;
        Peek(&count);
        return count;
    }
    Connection& connection() { return *connection_; }
    const Tracer& tracer() const { return tracer_; }

private:
    Connection* connection_;
    Tracer tracer_;
};

// The plain connection as a stream.
class PlainStream : public ByteStream {
public:
    PlainStream(Connection* connection, const Tracer& tracer) : ByteStream(connection, tracer) {}
    const char* Peek(size_t* count) override;
    void Consume(size_t count) override;
    PullResult Pull() override;
    bool Send(const char* bytes, size_t count) override;
    bool LinesWaiting() override;
    // Forgets every byte received and not read: what came before an
    // encrypted connection begins must never be read as part of it.
    void Discard() { pos_ = len_ = 0; }

private:
    char bytes_[1024];
    size_t pos_ = 0; // next unread byte
    size_t len_ = 0; // valid bytes
};

// How WaitForBytes waits, besides the worker's stop and messages.
struct ByteWait {
    DWORD timeoutMs = 0;      // 0: no limit
    bool traceTimeout = true; // "recv timeout(N)" when a limit of a second or more ran out
    HANDLE extra = NULL;      // one more handle that ends the wait (BytesExtra); null: none
    // Called each time just before the wait blocks: what was read so far may
    // be told now, since nothing more is there to read first.
    void (*beforeBlocking)(void* owner) = nullptr;
    void* owner = nullptr;
};

enum BytesEnd {
    BytesReady,   // bytes are ready to be read
    BytesTimeout, // the time-out elapsed without bytes
    BytesClosed,  // the peer closed (after every byte it sent was ready), or there is no connection
    BytesFailed,  // the wait, the event enumeration or the read failed (traced)
    BytesStop,    // the worker's stop
    BytesMessage, // a thread message for the worker
    BytesExtra,   // the extra handle was signalled
};

// Waits until bytes are ready on the stream, and says why it ended.
BytesEnd WaitForBytes(ByteStream& stream, const WaitControl& control, const ByteWait& wait);
