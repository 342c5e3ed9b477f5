// A USB serial adapter's hold on received bytes; see adapter.h.
#include "adapter.h"

#include <cmath>

void StartAdapter(LineAdapter *adapter, double latencyMs, double now)
{
    adapter->periodSeconds = latencyMs / 1000.0;
    adapter->timerStart = now;
    adapter->gathered = 0;
    adapter->packetDue = 0.0;
}

// The first firing of the timer after t.
static double nextFiring(const LineAdapter *adapter, double t)
{
    double periods = floor((t - adapter->timerStart) / adapter->periodSeconds) + 1.0;
    return adapter->timerStart + periods * adapter->periodSeconds;
}

double AdapterRelease(LineAdapter *adapter, double lineDue, int *alsoEarlier)
{
    *alsoEarlier = 0;
    if (adapter->periodSeconds <= 0.0)
        return lineDue;
    // 1. A byte off the line after the packet went starts the next one.
    if (adapter->gathered == 0 || lineDue > adapter->packetDue) {
        adapter->gathered = 0;
        adapter->packetDue = nextFiring(adapter, lineDue);
    }
    adapter->gathered++;
    // 2. A full packet goes at once, with the bytes gathered before it.
    if (adapter->gathered == LINE_ADAPTER_PACKET) {
        *alsoEarlier = LINE_ADAPTER_PACKET - 1;
        adapter->gathered = 0;
        return lineDue;
    }
    return adapter->packetDue;
}
