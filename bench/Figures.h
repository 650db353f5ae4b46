#pragma once
// What the benchmarks make of their runs.
#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <utility>
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

// The lowest and the highest of several runs, printed beside their median. Zeros for no runs.
inline std::pair<double, double> Range(const std::vector<double>& aValues) {
  if (aValues.empty()) return {0, 0};
  const auto [LMin, LMax] = std::minmax_element(aValues.begin(), aValues.end());
  return {*LMin, *LMax};
}

// The load averages over 1, 5 and 15 minutes ("0.52 0.61 0.70"): how busy the shared machine
// was around the figures.
inline std::string LoadAverage() {
  std::ifstream LFile("/proc/loadavg");
  std::string L1, L5, L15;
  LFile >> L1 >> L5 >> L15;
  return L1 + " " + L5 + " " + L15;
}
