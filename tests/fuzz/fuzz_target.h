// The interface every fuzz target implements, the same for libFuzzer and for the
// standalone driver of the normal test build, and the check that ends a run on a broken
// invariant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Runs one input. Returns 0; a fault ends the process (a sanitizer report, a crash or a
// failed FUZZ_CHECK).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// Called once before the first input. Optional for a target.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)
