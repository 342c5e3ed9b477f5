// The random preemption points of the race tests' SharedWord: on about one
// access in four the thread stalls for up to some tens of microseconds, or
// gives up the processor, as if the scheduler had taken it off there.
#include "tests/preempt.h"

#include <windows.h>

void MaybePreempt(void)
{
    static thread_local uint32_t seed = GetCurrentThreadId() * 2654435761u;
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    if ((seed & 3) != 0)
        return;
    if ((seed & 0x30) == 0) {
        SwitchToThread();
        return;
    }
    for (volatile uint32_t i = 0, n = (seed >> 8) % 20000; i < n; i = i + 1) {
    }
}
