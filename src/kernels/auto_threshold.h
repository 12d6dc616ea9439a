// The standard automatic thresholds of a grey-level histogram with one bin
// per level: Otsu, Li, triangle, Yen, ISODATA, mean and minimum, each in the
// arithmetic (element types, evaluation order, first index of a tie) of
// scikit-image's threshold_<method> on an integer image, whose histogram
// counts the levels from the image's lowest to its highest one.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <vector>

namespace pictor::kernels {

// The counts of levels lowest .. lowest + counts.size() - 1, the first and
// the last non-zero (no counts for an image without samples).
struct LevelHistogram {
  long lowest = 0;
  std::vector<std::int64_t> counts;
  long highest() const { return lowest + static_cast<long>(counts.size()) - 1; }
};
LevelHistogram present_levels(const std::int64_t* counts, long levels);

// Natural logarithms of `size` values in place: NumPy's own np.log in the
// recipe, so that a tie between logarithms falls where it falls there.
using Log64 = std::function<void(double* values, std::size_t size)>;
using Log32 = std::function<void(float* values, std::size_t size)>;

// Raised where scikit-image raises RuntimeError (the minimum method's
// histogram keeps more or fewer than two maxima) or IndexError (no ISODATA
// level); the message says which.
struct NoThreshold : std::runtime_error {
  using std::runtime_error::runtime_error;
};

double otsu_level(const LevelHistogram& histogram);
double li_level(const LevelHistogram& histogram, const Log64& log);
double triangle_level(const LevelHistogram& histogram);
double yen_level(const LevelHistogram& histogram, const Log32& log);
double isodata_level(const LevelHistogram& histogram);
double mean_level(const LevelHistogram& histogram);

// The mean level of uint8 or uint16 samples straight from them, over
// `threads` threads: the same float as mean_level of their counts (both the
// exact integer sum over the count), without counting 65,536 levels.
template <class T>
double mean_of_samples(const T* samples, std::ptrdiff_t size, int threads);
double minimum_level(const LevelHistogram& histogram);

// One pass of scipy.ndimage.uniform_filter1d(values, 3) (mode 'reflect'):
// a running sum in float64, each output rounded to float32.
void uniform3_float32(std::vector<float>& values);

}  // namespace pictor::kernels
