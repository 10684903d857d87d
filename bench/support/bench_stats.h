#pragma once
// Small helpers the benchmark programs share.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

// The sample at quantile q (0 the least, 0.5 the median, 1 the greatest);
// 0 when there are none.
inline double BenchQuantile(std::vector<double> samples, double q) {
  if (samples.empty()) return 0.0;
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<size_t>(q * static_cast<double>(samples.size() - 1) + 0.5)];
}

inline double BenchMedian(const std::vector<double>& samples) { return BenchQuantile(samples, 0.5); }

// Microseconds that f() took; *ok turns false when f() reports a failure.
template <class F>
double BenchTimeUs(F&& f, bool* ok) {
  const auto start = std::chrono::steady_clock::now();
  *ok = f() && *ok;
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}
