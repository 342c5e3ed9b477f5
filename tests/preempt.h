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

class SharedWord {
public:
    SharedWord(int32_t value = 0) : word(value) {}
    SharedWord(const SharedWord &) = delete;
    SharedWord &operator=(const SharedWord &) = delete;

    int32_t load(std::memory_order order = std::memory_order_seq_cst) const { MaybePreempt(); return word.load(order); }
    void store(int32_t value, std::memory_order order = std::memory_order_seq_cst) { MaybePreempt(); word.store(value, order); }
    operator int32_t() const { return load(); }
    SharedWord &operator=(int32_t value) { store(value); return *this; }
    int32_t exchange(int32_t value) { MaybePreempt(); return word.exchange(value); }
    bool compare_exchange_strong(int32_t &expected, int32_t desired) { MaybePreempt(); return word.compare_exchange_strong(expected, desired); }
    bool compare_exchange_weak(int32_t &expected, int32_t desired) { MaybePreempt(); return word.compare_exchange_weak(expected, desired); }
    int32_t operator++() { MaybePreempt(); return ++word; }
    int32_t operator++(int) { MaybePreempt(); return word++; }
    int32_t operator+=(int32_t value) { MaybePreempt(); return word += value; }

private:
    std::atomic<int32_t> word;
};

#endif
