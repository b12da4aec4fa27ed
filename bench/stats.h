#pragma once

#include <string>
#include <vector>

namespace mq::bench {

// Seconds on the steady clock.
double now_seconds();
// CPU seconds the calling thread has used.
double thread_cpu_seconds();

// Median, extremes and percentiles of a set of samples.
struct summary_t {
  double median = 0;
  double min = 0;
  double max = 0;
};

// Nearest-rank percentile (p in [0, 100]) of unsorted samples; 0 when empty.
double percentile(std::vector<double> samples, double p);

summary_t summarize(const std::vector<double>& samples);

}  // namespace mq::bench
