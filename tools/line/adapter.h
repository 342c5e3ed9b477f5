// The receive side of a USB serial adapter whose chip holds the bytes it
// takes off the line until its latency timer fires (a free-running timer of
// so many ms) or until a whole USB packet has gathered, and then hands them
// to the PC all at once. Each byte's line time goes in, the time the PC gets
// it comes out; a byte that fills a packet also moves the bytes before it in
// that packet up to its own time.
#ifndef TESSEL_LINE_ADAPTER_H
#define TESSEL_LINE_ADAPTER_H

#define LINE_ADAPTER_PACKET    62     // data bytes in one USB packet (64 less two status bytes)
#define LINE_ADAPTER_MAX_MS    255    // the largest latency timer such chips take

struct LineAdapter {
    double periodSeconds;   // the latency timer; 0: no adapter, bytes go at their line time
    double timerStart;      // the timer fires at timerStart + k periods
    int gathered;           // bytes in the packet being gathered
    double packetDue;       // when that packet goes if it does not fill first
};

void StartAdapter(LineAdapter *adapter, double latencyMs, double now);
// When the PC gets a byte that is off the line at lineDue. *alsoEarlier is
// how many bytes handed in just before it now go at that time too (a packet
// filled), else 0.
double AdapterRelease(LineAdapter *adapter, double lineDue, int *alsoEarlier);

#endif
