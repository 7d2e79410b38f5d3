// What the Windows host programs under Wine share: a check that counts failures instead of
// stopping, and the calling convention MSVC-built hosts use for IASIO's own methods.
#pragma once

#include <cstdio>

inline int g_checkFailures = 0;
#define CHECK(cond)                                                              \
    do {                                                                         \
        if (!(cond)) {                                                           \
            std::printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++g_checkFailures;                                                   \
        }                                                                        \
    } while (0)

#if defined(__i386__)
#define HOST_THISCALL __attribute__((thiscall))
#else
#define HOST_THISCALL
#endif
