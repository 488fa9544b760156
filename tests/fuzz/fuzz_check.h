// A rule the fuzzed code broke ends the run the way a crash does, so
// libFuzzer keeps the input that broke it and prints which rule it was.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, rule)                                                        \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "\nbroken rule: %s\n  (%s, %s:%d)\n", rule, #condition,  \
                         __FILE__, __LINE__);                                              \
            std::abort();                                                                  \
        }                                                                                  \
    } while (false)
