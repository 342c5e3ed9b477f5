// The figures of a set of times that the line tools report: nearest-rank
// p50, p90 and p99, the largest, the mean and the sum, in the values' own unit.
#ifndef TESSEL_LINE_SPREAD_H
#define TESSEL_LINE_SPREAD_H

#include <cstddef>
#include <vector>

struct Spread {
    size_t count;
    double p50, p90, p99, max, mean, total;
};

// All zero when there are no values.
Spread SpreadOf(std::vector<double> values);

#endif
