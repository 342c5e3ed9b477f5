// The type of every word that both threads touch. A test build may put a
// type of its own in its place (one that can be preempted at every access)
// by defining TESSEL_SHARED_WORD before this header is read.
#ifndef TESSEL_SHARED_WORD_H
#define TESSEL_SHARED_WORD_H

#include <atomic>
#include <cstdint>

#ifndef TESSEL_SHARED_WORD
typedef std::atomic<int32_t> SharedWord;
#endif

#endif
