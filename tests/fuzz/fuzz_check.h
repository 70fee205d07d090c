// The one way a fuzz target says that an input broke a promise: print what
// was promised and abort, so libFuzzer keeps the input as a crash and the
// replay driver's test fails. Used by the targets in tests/fuzz/ only; not an
// assert, which release builds compile away.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: broken promise: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)
