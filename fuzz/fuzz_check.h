// A property of a fuzz target that does not hold: say which, and abort, so
// that libFuzzer keeps the input as a crash.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#define FUZZ_CHECK(condition)                                                              \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            fprintf(stderr, "%s:%d: property does not hold: %s\n", __FILE__, __LINE__,     \
                    #condition);                                                           \
            abort();                                                                       \
        }                                                                                  \
    } while (0)
