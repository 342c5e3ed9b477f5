#include "line/spread.h"

#include <algorithm>
#include <cmath>

// Nearest-rank percentile of sorted values.
static double percentile(const std::vector<double> &sorted, double fraction)
{
    size_t rank = (size_t)ceil(fraction * (double)sorted.size());
    return sorted[rank > 0 ? rank - 1 : 0];
}

Spread SpreadOf(std::vector<double> values)
{
    Spread spread = { values.size(), 0.0, 0.0, 0.0, 0.0, 0.0, 0.0 };
    if (values.empty())
        return spread;
    std::sort(values.begin(), values.end());
    for (double value : values)
        spread.total += value;
    spread.p50 = percentile(values, 0.50);
    spread.p90 = percentile(values, 0.90);
    spread.p99 = percentile(values, 0.99);
    spread.max = values.back();
    spread.mean = spread.total / (double)values.size();
    return spread;
}
