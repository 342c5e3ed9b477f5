// The race tests' SharedWord: every load, store and compare-and-swap may
// give up the processor first, so the other thread can run between any two
// accesses of a decision. Read before the product's headers (-include).
#ifndef TESSEL_TEST_PREEMPT_H
#define TESSEL_TEST_PREEMPT_H

#include <atomic>
#include <cstdint>

#define TESSEL_SHARED_WORD

// Stalls or yields on about one call in four, at random.
void MaybePreempt(void);

template <typename T> class SharedWordOf {
public:
    SharedWordOf(T value = T()) : word(value) {}
    SharedWordOf(const SharedWordOf &) = delete;
    SharedWordOf &operator=(const SharedWordOf &) = delete;

    T load(std::memory_order order = std::memory_order_seq_cst) const { MaybePreempt(); return word.load(order); }
    void store(T value, std::memory_order order = std::memory_order_seq_cst) { MaybePreempt(); word.store(value, order); }
    operator T() const { return load(); }
    SharedWordOf &operator=(T value) { store(value); return *this; }
    T exchange(T value) { MaybePreempt(); return word.exchange(value); }
    bool compare_exchange_strong(T &expected, T desired) { MaybePreempt(); return word.compare_exchange_strong(expected, desired); }
    bool compare_exchange_weak(T &expected, T desired) { MaybePreempt(); return word.compare_exchange_weak(expected, desired); }
    T operator++() { MaybePreempt(); return ++word; }
    T operator++(int) { MaybePreempt(); return word++; }
    T operator+=(T value) { MaybePreempt(); return word += value; }

private:
    std::atomic<T> word;
};
typedef SharedWordOf<int32_t> SharedWord;

#endif
