#include "stats.h"

#include <time.h>

#include <chrono>

#include <algorithm>
#include <cmath>

namespace mq::bench {

double now_seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double thread_cpu_seconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  // Nearest rank: the smallest sample with at least p% of the samples at or below it.
  auto rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(samples.size())));
  if (rank == 0) rank = 1;
  return samples[std::min(rank, samples.size()) - 1];
}

summary_t summarize(const std::vector<double>& samples) {
  summary_t s;
  if (samples.empty()) return s;
  std::vector<double> sorted(samples);
  std::sort(sorted.begin(), sorted.end());
  size_t n = sorted.size();
  s.min = sorted.front();
  s.max = sorted.back();
  s.median = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
  return s;
}

}  // namespace mq::bench
