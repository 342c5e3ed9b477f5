// The type of every word that both threads touch, pointers included: a
// 32-bit word is a SharedWord, any other SharedWordOf<T>. A test build may
// put a type of its own in their place (one that can be preempted at every
// access) by defining TESSEL_SHARED_WORD before this header is read. This is
// the one header of the product that names std::atomic.
#ifndef TESSEL_SHARED_WORD_H
#define TESSEL_SHARED_WORD_H

#include <atomic>
#include <cstdint>

#ifndef TESSEL_SHARED_WORD
template <typename T> using SharedWordOf = std::atomic<T>;
typedef std::atomic<int32_t> SharedWord;
#endif

#endif
