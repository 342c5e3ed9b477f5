// Time stamps of the reader's steps, for the benchmark's traced build only
// (tools/bench/steptrace.cpp, TESSEL_STEP_TRACE): which wait a slow
// turnaround was spent in. Compiles to nothing in the product.
#ifndef TESSEL_SERIAL_STEPTRACE_H
#define TESSEL_SERIAL_STEPTRACE_H

#ifdef TESSEL_STEP_TRACE
// step: a letter for the place (see steptrace.cpp); count and lastByte what it saw.
void NoteStep(char step, unsigned count, unsigned lastByte);
#else
#define NoteStep(step, count, lastByte) ((void)0)
#endif

#endif
