#include "imap/reader.h"

namespace {

LineEnd EndOf(BytesEnd end)
{
    switch (end) {
    case BytesReady:
        return LineRead;
    case BytesTimeout:
        return LineTimeout;
    case BytesClosed:
        return LineClosed;
    case BytesFailed:
        return LineFailed;
    case BytesStop:
        return LineStop;
    case BytesMessage:
        return LineMessage;
    case BytesExtra:
        return LineExtra;
    }
    return LineFailed;
}

} // namespace

LineEnd ReadResponseLine(ByteStream& stream, LineReader* reader, const WaitControl& control, const ByteWait& wait,
                         std::string* line)
{
    std::string taken;
    for (;;) {
        size_t count = 0;
        const char* bytes = stream.Peek(&count);
        if (count == 0) {
            BytesEnd waited = WaitForBytes(stream, control, wait);
            if (waited != BytesReady)
                return EndOf(waited); // the partial line stays for the next read
            continue;
        }
        size_t pos = 0;
        bool ended = TakeLine(reader->partial, bytes, count, &pos, &taken);
        stream.Consume(pos);
        if (ended)
            break;
    }
    TraceTo(stream.tracer(), "Recv:%s", taken.c_str());
    line->swap(taken);
    return LineRead;
}

void DropPartialLine(LineReader* reader, const Tracer& tracer)
{
    if (!LineStarted(reader->partial))
        return;
    TraceTo(tracer, "partial line dropped");
    ForgetPartialLine(reader->partial);
}
