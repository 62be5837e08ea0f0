// The median every benchmark reports: the middle value of an odd count, the mean of the two
// middle values of an even one, NaN for none.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

inline double median(std::vector<double> values) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}
