// The random yields of the race tests' SharedWord.
#include "tests/preempt.h"

#include <windows.h>

void MaybePreempt(void)
{
    static thread_local uint32_t seed = GetCurrentThreadId() * 2654435761u;
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    if ((seed & 3) == 0)
        SwitchToThread();
}
