// Response lines read from a byte stream, each traced as "Recv:<line>".
// Worker thread only.
#pragma once

#include <string>

#include "imap/wire.h"
#include "net/stream.h"

struct LineReader {
    PartialLine partial; // the start of a line (and a literal) whose end has not come
};

enum LineEnd {
    LineRead,    // a whole line was delivered
    LineTimeout, // the wait's time-out elapsed; a partial line stays for the next read
    LineClosed,  // the peer closed, or there is no connection
    LineFailed,  // the wait or the read failed (traced)
    LineStop,    // the worker's stop
    LineMessage, // a thread message for the worker
    LineExtra,   // the wait's extra handle was signalled
};

// The next response line, waiting for bytes as `wait` says.
LineEnd ReadResponseLine(ByteStream& stream, LineReader* reader, const WaitControl& control, const ByteWait& wait,
                         std::string* line);
// Complete lines already received stay to be read in order; only the start
// of a line whose end has not come goes ("partial line dropped" traced).
void DropPartialLine(LineReader* reader, const Tracer& tracer);
