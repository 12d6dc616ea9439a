#include "kernels/auto_threshold.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "kernels/parallel.h"

namespace pictor::kernels {
namespace {

// np.argmax: the first maximum, and the first NaN ahead of any number.
template <class T>
std::size_t first_argmax(const std::vector<T>& values) {
  std::size_t best = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (std::isnan(values[i])) return i;
    if (values[i] > values[best]) best = i;
  }
  return best;
}

double level_at(const LevelHistogram& histogram, std::size_t bin) {
  return static_cast<double>(histogram.lowest + static_cast<long>(bin));
}

// hist.astype('float32')
std::vector<float> float32_counts(const LevelHistogram& histogram) {
  return std::vector<float>(histogram.counts.begin(), histogram.counts.end());
}

std::int64_t total_of(const LevelHistogram& histogram) {
  std::int64_t total = 0;
  for (std::int64_t count : histogram.counts) total += count;
  return total;
}

}  // namespace

LevelHistogram present_levels(const std::int64_t* counts, long levels) {
  long first = 0;
  while (first < levels && counts[first] == 0) ++first;
  long last = levels - 1;
  while (last > first && counts[last] == 0) --last;
  LevelHistogram histogram;
  histogram.lowest = first < levels ? first : 0;
  if (first < levels) histogram.counts.assign(counts + first, counts + last + 1);
  return histogram;
}

// Between-class variance w1 * w2 * (m1 - m2)**2 of every split: the class
// weights float32 sums of float32 counts and their product float32, the
// intensity sums exact (integers) in float64.
double otsu_level(const LevelHistogram& histogram) {
  const std::vector<float> counts = float32_counts(histogram);
  const std::size_t bins = counts.size();
  if (bins == 1) return level_at(histogram, 0);
  std::vector<float> weight_above(bins);
  std::vector<double> moment_above(bins);
  float weight = 0.0f;
  double moment = 0.0;
  for (std::size_t i = bins; i-- > 0;) {
    weight += counts[i];
    moment += static_cast<double>(counts[i]) * level_at(histogram, i);
    weight_above[i] = weight;
    moment_above[i] = moment;
  }
  std::vector<double> variance(bins - 1);
  float weight_below = 0.0f;
  double moment_below = 0.0;
  for (std::size_t i = 0; i + 1 < bins; ++i) {
    weight_below += counts[i];
    moment_below += static_cast<double>(counts[i]) * level_at(histogram, i);
    const double mean_below = moment_below / static_cast<double>(weight_below);
    const double mean_above = moment_above[i + 1] / static_cast<double>(weight_above[i + 1]);
    const double difference = mean_below - mean_above;
    variance[i] = static_cast<double>(weight_below * weight_above[i + 1]) * (difference * difference);
  }
  return level_at(histogram, first_argmax(variance));
}

// Li's iteration on levels z from the lowest, tolerance half a level, the
// weights float32 counts (their sums, of integers, are exact).
double li_level(const LevelHistogram& histogram, const Log64& log) {
  const std::vector<float> weights = float32_counts(histogram);
  const std::size_t bins = weights.size();
  if (bins == 1) return level_at(histogram, 0);
  std::vector<double> weight_below(bins + 1, 0.0), moment_below(bins + 1, 0.0);
  double exact_moment = 0.0;
  for (std::size_t z = 0; z < bins; ++z) {
    weight_below[z + 1] = weight_below[z] + static_cast<double>(weights[z]);
    moment_below[z + 1] = moment_below[z] + static_cast<double>(z) * static_cast<double>(weights[z]);
    exact_moment += static_cast<double>(z) * static_cast<double>(histogram.counts[z]);
  }
  constexpr double kTolerance = 0.5;
  double next = exact_moment / static_cast<double>(total_of(histogram));  // np.mean(image - lowest)
  double current = -2 * kTolerance;
  while (std::fabs(next - current) > kTolerance) {
    current = next;
    // Background: z <= current (current >= 0 from the first mean on).
    const std::size_t split = static_cast<std::size_t>(std::floor(current)) + 1;
    const double mean_fore = (moment_below[bins] - moment_below[split]) / (weight_below[bins] - weight_below[split]);
    const double mean_back = moment_below[split] / weight_below[split];
    if (mean_back == 0) break;
    double logs[2] = {mean_back, mean_fore};
    log(logs, 2);
    next = (mean_back - mean_fore) / (logs[0] - logs[1]);
  }
  return next + static_cast<double>(histogram.lowest);
}

// The longest distance below the line from the peak to the end of the longer
// tail, in the coordinates normalised by the line's length.
double triangle_level(const LevelHistogram& histogram) {
  std::vector<std::int64_t> counts = histogram.counts;
  const std::size_t bins = counts.size();
  const std::size_t peak = first_argmax(counts);
  const std::int64_t peak_height = counts[peak];
  std::size_t low = bins, high = 0;
  for (std::size_t i = 0; i < bins; ++i) {
    if (counts[i] != 0) {
      low = std::min(low, i);
      high = i;
    }
  }
  if (low == high) return level_at(histogram, low);
  std::size_t arg_low = low, arg_peak = peak;
  const bool flip = peak - low < high - peak;
  if (flip) {
    std::reverse(counts.begin(), counts.end());
    arg_low = bins - high - 1;
    arg_peak = bins - peak - 1;
  }
  const std::int64_t width = static_cast<std::int64_t>(arg_peak - arg_low);
  const double norm = std::sqrt(static_cast<double>(peak_height * peak_height + width * width));
  const double height_normed = static_cast<double>(peak_height) / norm;
  const double width_normed = static_cast<double>(width) / norm;
  std::vector<double> length(static_cast<std::size_t>(width));
  for (std::size_t x = 0; x < length.size(); ++x) {
    length[x] = height_normed * static_cast<double>(x) - width_normed * static_cast<double>(counts[x + arg_low]);
  }
  if (length.empty()) throw NoThreshold("attempt to get argmax of an empty sequence");
  std::size_t level = first_argmax(length) + arg_low;
  if (flip) level = bins - level - 1;
  return level_at(histogram, level);
}

// Yen's criterion in float32: the probabilities, their cumulative sums and
// those of their squares from either end.
double yen_level(const LevelHistogram& histogram, const Log32& log) {
  const std::size_t bins = histogram.counts.size();
  if (bins == 1) return level_at(histogram, 0);
  const float total = static_cast<float>(total_of(histogram));
  std::vector<float> pmf = float32_counts(histogram);
  for (float& p : pmf) p = p / total;
  std::vector<float> cumulative(bins), squares_below(bins), squares_above(bins);
  float sum = 0.0f, squares = 0.0f;
  for (std::size_t i = 0; i < bins; ++i) {
    sum += pmf[i];
    squares += pmf[i] * pmf[i];
    cumulative[i] = sum;
    squares_below[i] = squares;
  }
  squares = 0.0f;
  for (std::size_t i = bins; i-- > 0;) {
    squares += pmf[i] * pmf[i];
    squares_above[i] = squares;
  }
  std::vector<float> criterion(bins - 1);
  for (std::size_t i = 0; i + 1 < bins; ++i) {
    const float inverse = 1.0f / (squares_below[i] * squares_above[i + 1]);
    const float spread = cumulative[i] * (1.0f - cumulative[i]);
    criterion[i] = inverse * (spread * spread);
  }
  log(criterion.data(), criterion.size());
  return level_at(histogram, first_argmax(criterion));
}

// The first level t with t <= (mean below or at t + mean above t) / 2 < t + 1,
// the pixel counts summed in float32 and the intensities in float64.
double isodata_level(const LevelHistogram& histogram) {
  const std::size_t bins = histogram.counts.size();
  if (bins == 1) return level_at(histogram, 0);
  const std::vector<float> counts = float32_counts(histogram);
  std::vector<float> count_below(bins);
  std::vector<double> intensity_below(bins);
  float count_sum = 0.0f;
  double intensity_sum = 0.0;
  for (std::size_t i = 0; i < bins; ++i) {
    count_sum += counts[i];
    intensity_sum += static_cast<double>(counts[i]) * level_at(histogram, i);
    count_below[i] = count_sum;
    intensity_below[i] = intensity_sum;
  }
  for (std::size_t i = 0; i + 1 < bins; ++i) {
    const float count_above = count_below[bins - 1] - count_below[i];
    const double lower = intensity_below[i] / static_cast<double>(count_below[i]);
    const double higher = (intensity_below[bins - 1] - intensity_below[i]) / static_cast<double>(count_above);
    const double distance = (lower + higher) / 2.0 - level_at(histogram, i);
    if (distance >= 0 && distance < 1) return level_at(histogram, i);
  }
  throw NoThreshold("no level of the histogram is an ISODATA fixed point");
}

double mean_level(const LevelHistogram& histogram) {
  double moment = 0.0;  // integer sums: exact below 2**53
  for (std::size_t i = 0; i < histogram.counts.size(); ++i) {
    moment += static_cast<double>(histogram.counts[i]) * level_at(histogram, i);
  }
  return moment / static_cast<double>(total_of(histogram));
}

namespace {

// Samples summed in 32 bits before the 64-bit total: 65,536 of the highest
// 16-bit level stay below 2**32.
constexpr std::ptrdiff_t kSamplesPerBlockSum = std::ptrdiff_t{1} << 16;

template <class T>
std::uint64_t sum_of_samples(const T* samples, std::ptrdiff_t size) {
  std::uint64_t total = 0;
  for (std::ptrdiff_t start = 0; start < size; start += kSamplesPerBlockSum) {
    const std::ptrdiff_t end = std::min(size, start + kSamplesPerBlockSum);
    std::uint32_t block = 0;
    for (std::ptrdiff_t i = start; i < end; ++i) block += samples[i];
    total += block;
  }
  return total;
}

}  // namespace

template <class T>
double mean_of_samples(const T* samples, std::ptrdiff_t size, int threads) {
  std::vector<std::uint64_t> partials(static_cast<std::size_t>(sample_part_count(size, threads)), 0);
  split_samples(size, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int part) {
    partials[static_cast<std::size_t>(part)] = sum_of_samples(samples + begin, end - begin);
  });
  std::uint64_t total = 0;
  for (std::uint64_t partial : partials) total += partial;
  return static_cast<double>(total) / static_cast<double>(size);  // integer sums: exact below 2**53
}

template double mean_of_samples(const std::uint8_t*, std::ptrdiff_t, int);
template double mean_of_samples(const std::uint16_t*, std::ptrdiff_t, int);

void uniform3_float32(std::vector<float>& values) {
  const std::size_t size = values.size();
  if (size == 0) return;
  // The line extended by one sample at either end, mirrored (d c b a | a b c d).
  std::vector<double> line(size + 2);
  line[0] = values[0];
  for (std::size_t i = 0; i < size; ++i) line[i + 1] = values[i];
  line[size + 1] = values[size - 1];
  double sum = 0.0;
  for (std::size_t i = 0; i < 3; ++i) sum += line[i];
  sum /= 3.0;
  values[0] = static_cast<float>(sum);
  for (std::size_t i = 1; i < size; ++i) {
    sum += (line[i + 2] - line[i - 1]) / 3.0;
    values[i] = static_cast<float>(sum);
  }
}

namespace {

// The starts of the histogram's maxima, plateaus counted once.
std::vector<std::size_t> local_maxima(const std::vector<float>& values) {
  std::vector<std::size_t> maxima;
  bool rising = true;
  for (std::size_t i = 0; i + 1 < values.size(); ++i) {
    if (rising && values[i + 1] < values[i]) {
      rising = false;
      maxima.push_back(i);
    } else if (!rising && values[i + 1] > values[i]) {
      rising = true;
    }
  }
  return maxima;
}

}  // namespace

// The lowest point between the two maxima left after smoothing the histogram
// with a 3-bin mean until fewer than three remain.
double minimum_level(const LevelHistogram& histogram) {
  constexpr int kMostSmoothings = 10000;
  std::vector<float> smooth = float32_counts(histogram);
  std::vector<std::size_t> maxima;
  int counter = 0;
  for (; counter < kMostSmoothings; ++counter) {
    uniform3_float32(smooth);
    maxima = local_maxima(smooth);
    if (maxima.size() < 3) break;
  }
  if (maxima.size() != 2) throw NoThreshold("Unable to find two maxima in histogram");
  if (counter == kMostSmoothings - 1) throw NoThreshold("Maximum iteration reached for histogram smoothing");
  std::size_t lowest = maxima[0];
  for (std::size_t i = maxima[0]; i <= maxima[1]; ++i) {
    if (smooth[i] < smooth[lowest]) lowest = i;
  }
  return level_at(histogram, lowest);
}

}  // namespace pictor::kernels
