#pragma once
// What the benchmarks make of their runs.
#include <algorithm>
#include <chrono>
#include <vector>

// Seconds since aStart.
inline double Seconds(std::chrono::steady_clock::time_point aStart) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - aStart).count();
}

// The figure of several runs: one run that the shared machine slowed down does not move it.
// 0 for no runs.
inline double Median(std::vector<double> aValues) {
  if (aValues.empty()) return 0;
  const auto LMiddle = aValues.begin() + long(aValues.size() / 2);
  std::nth_element(aValues.begin(), LMiddle, aValues.end());
  return *LMiddle;
}
