#include "net/stream.h"

#include <string.h>

namespace {

// Never handed to a wait as a time-out: it would mean no limit.
const DWORD LongestWaitMs = INFINITE - 1;

} // namespace

const char* PlainStream::Peek(size_t* count)
{
    *count = len_ - pos_;
    return bytes_ + pos_;
}

void PlainStream::Consume(size_t count)
{
    pos_ = count < len_ - pos_ ? pos_ + count : len_;
}

PullResult PlainStream::Pull()
{
    if (pos_ < len_)
        return PullSome; // still unread: nothing is overwritten
    int count = ReceiveSome(&connection(), bytes_, sizeof bytes_, tracer());
    if (count > 0) {
        pos_ = 0;
        len_ = static_cast<size_t>(count);
        return PullSome;
    }
    return count == 0 ? PullClosed : count == -1 ? PullNone : PullFailed;
}

bool PlainStream::Send(const char* bytes, size_t count)
{
    if (SendAll(&connection(), bytes, count))
        return true;
    TraceTo(tracer(), "send error(%d)", WSAGetLastError());
    return false;
}

bool PlainStream::LinesWaiting()
{
    return BytesWaiting(&connection(), true);
}

namespace {

// What a wait can say at once, before it blocks: the bytes that came with
// the connect, and a close seen earlier. BytesTimeout: nothing to say yet.
BytesEnd BeforeWaiting(ByteStream& stream)
{
    Connection& connection = stream.connection();
    if (connection.readPending) {
        // The connect reported data along with itself, and the event will
        // not say so again until it is read.
        connection.readPending = false;
        PullResult pulled = stream.Pull();
        if (pulled == PullFailed)
            return BytesFailed;
        if (pulled == PullClosed)
            connection.peerClosed = true;
        else if (stream.Ready() != 0)
            return BytesReady;
    }
    if (connection.peerClosed) {
        // The close was seen (alone, or with the last data) and is not
        // signalled again: take what the socket still holds, then report it.
        while (stream.Ready() == 0 && stream.Pull() == PullSome) {
        }
        if (stream.Ready() != 0)
            return BytesReady;
        TraceTo(stream.tracer(), "## Connection Closed");
        return BytesClosed;
    }
    return BytesTimeout;
}

// The socket's event was signalled. BytesTimeout: nothing for the reader
// yet (part of a record, or an event with nothing of ours in it).
BytesEnd TakeSocketEvents(ByteStream& stream)
{
    Connection& connection = stream.connection();
    const Tracer& tracer = stream.tracer();
    WSANETWORKEVENTS events;
    if (WSAEnumNetworkEvents(connection.sock.Get(), connection.event.Get(), &events) != 0) {
        TraceTo(tracer, "WSAEnumNetworkEvents Failed");
        return BytesFailed;
    }
    if (events.lNetworkEvents & FD_READ) {
        PullResult pulled = stream.Pull();
        if (pulled == PullFailed)
            return BytesFailed;
        if (pulled == PullNone) {
            TraceTo(tracer, "recv error: Socket WSAEWOULDBLOCK");
            return BytesFailed;
        }
        if (pulled == PullClosed || (events.lNetworkEvents & FD_CLOSE))
            connection.peerClosed = true;
        if (stream.Ready() != 0)
            return BytesReady;
        // A part of a record, or a record without data: wait on, unless
        // the peer has gone (reported at once).
        return connection.peerClosed ? BeforeWaiting(stream) : BytesTimeout;
    }
    if (events.lNetworkEvents & FD_CLOSE) {
        // A connection that died (keepalive found no peer, a reset) says
        // why; an orderly close has no error.
        if (events.iErrorCode[FD_CLOSE_BIT] != 0)
            TraceTo(tracer, "connection error(%d)", events.iErrorCode[FD_CLOSE_BIT]);
        // Signalled once only: a later wait on this connection must not
        // wait out its time-out for a peer that is gone.
        connection.peerClosed = true;
        TraceTo(tracer, "## Connection Closed");
        return BytesClosed;
    }
    return BytesTimeout;
}

} // namespace

BytesEnd WaitForBytes(ByteStream& stream, const WaitControl& control, const ByteWait& wait)
{
    Connection& connection = stream.connection();
    const Tracer& tracer = stream.tracer();
    if (!connection.sock.Valid() || !connection.event.Valid()) {
        TraceTo(tracer, "param error(%x,%x)", static_cast<unsigned>(connection.sock.Get()),
                static_cast<unsigned>(reinterpret_cast<UINT_PTR>(connection.event.Get())));
        return BytesClosed;
    }
    connection.waitRanOut = false;
    BytesEnd early = BeforeWaiting(stream);
    if (early != BytesTimeout)
        return early;
    HANDLE handles[2] = {connection.event.Get(), wait.extra};
    DWORD start = GetTickCount();
    for (;;) {
        DWORD remaining = LongestWaitMs;
        if (wait.timeoutMs != 0) {
            DWORD elapsed = GetTickCount() - start;
            if (elapsed >= wait.timeoutMs) {
                if (wait.traceTimeout && wait.timeoutMs >= 1000)
                    TraceTo(tracer, "recv timeout(%d)", static_cast<int>(wait.timeoutMs));
                connection.waitRanOut = true;
                return BytesTimeout;
            }
            remaining = wait.timeoutMs - elapsed;
        }
        if (wait.beforeBlocking != nullptr)
            wait.beforeBlocking(wait.owner);
        DWORD which = 0;
        switch (WaitForWork(control, handles, 2, remaining, &which)) {
        case WaitEndStop:
            return BytesStop;
        case WaitEndMessage:
            return BytesMessage;
        case WaitEndTimeout:
            continue; // judged above
        case WaitEndFailed:
            TraceTo(tracer, "WSAWaitForMultipleEvents Failed(%d,%x)", static_cast<int>(GetLastError()),
                    static_cast<unsigned>(reinterpret_cast<UINT_PTR>(connection.event.Get())));
            return BytesFailed;
        case WaitEndHandle:
            break;
        }
        if (which == 1)
            return BytesExtra;
        BytesEnd taken = TakeSocketEvents(stream);
        if (taken != BytesTimeout)
            return taken;
    }
}
