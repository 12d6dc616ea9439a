// Equalisation, stretching and threshold searches over 65,536 levels.
//
// Each statistic method is three steps: exact level counts (one pass), a
// table of the 65,536 levels built from the counts, and every sample mapped
// through it (one pass). The NAME_table functions take the counts (summed
// over the chunks of a chunked image) and return the table.
#include <algorithm>
#include <cstdint>
#include <optional>

#include "frame/module_functions.h"
#include "frame/ndarray.h"
#include "frame/pycall.h"
#include "frame/split_work.h"
#include "full_depth/families.h"
#include "kernels/histogram16.h"
#include "tool/keywords.h"

namespace pictor::full_depth {
namespace {

using kernels::Counts16;
using kernels::Table16;

Array uint16_image(PyObject* src) {
  Array image = contiguous(src);
  if (image.type() != NPY_USHORT) raise(PyExc_TypeError, "full depth takes uint16 images");
  return image;
}

// The samples of channel 0 only when `first_channel` (interleaved channels
// last), else every sample.
Counts16 counts_of(const Array& image, bool first_channel = false) {
  const std::ptrdiff_t step = first_channel && image.ndim() == 3 ? image.shape()[2] : 1;
  Counts16 counts;
  const int threads = call_threads(image.size());
  without_gil([&] { counts = kernels::count_levels16(image.data<std::uint16_t>(), image.size(), step, threads); });
  return counts;
}

const std::int64_t* counts_argument(PyObject* value, Array& holder) {
  holder = contiguous_as(value, NPY_INT64);
  if (holder.ndim() != 1 || holder.size() != kernels::kLevels16) {
    raise(PyExc_ValueError, "counts must be the 65536 level counts of a uint16 image");
  }
  return holder.data<std::int64_t>();
}

}  // namespace

RangeImage on_own_range(const Array& image) {
  const kernels::LevelRange range = kernels::level_range16(counts_of(image).data());
  if (range.is_identity()) return RangeImage{range, image};
  Array levels = new_array_like(image, NPY_USHORT);
  const int threads = call_threads(image.size());
  without_gil([&] {
    kernels::to_range_levels16(image.data<std::uint16_t>(), levels.data<std::uint16_t>(), image.size(), range,
                               threads);
  });
  return RangeImage{range, levels};
}

namespace {

Ref table_array(const Table16& table) {
  const npy_intp levels = kernels::kLevels16;
  Array result = new_array(1, &levels, NPY_USHORT);
  std::copy(table.begin(), table.end(), result.data<std::uint16_t>());
  return result.object;
}

Ref mapped(const Array& image, const Table16& table) {
  Array result = new_array_like(image, NPY_USHORT);
  const int threads = call_threads(image.size());
  without_gil([&] {
    kernels::map_levels16(image.data<std::uint16_t>(), table.data(), result.data<std::uint16_t>(), image.size(),
                          threads);
  });
  return result.object;
}

// 65535 where a sample lies above `level`, else 0.
Ref binarised(const Array& image, long long level) {
  Array result = new_array_like(image, NPY_USHORT);
  const std::uint16_t* src = image.data<std::uint16_t>();
  std::uint16_t* out = result.data<std::uint16_t>();
  split_samples_without_gil(image.size(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
    kernels::binarise_above16(src + begin, out + begin, end - begin, level);
  });
  return result.object;
}

long long low_threshold(PyObject* low_thr) {
  constexpr long long kHighestLowThr = 250;
  const std::optional<long long> value = exact_python_int(low_thr);
  if (!value || *value < 0 || *value > kHighestLowThr) raise(PyExc_ValueError, "low_thr must be an int in [0, 250]");
  return *value;
}

// (lowest, step, span) of an image's level counts: see kernels::LevelRange.
Ref level_range(PyObject* counts) {
  Array holder;
  const kernels::LevelRange range = kernels::level_range16(counts_argument(counts, holder));
  return checked(Py_BuildValue("(lll)", range.lowest, range.step, range.span));
}

// --- equalisation and stretching --------------------------------------------------------------

Ref histogram_enhancement_table(PyObject* counts) {
  Array holder;
  return table_array(kernels::equalising_table16(counts_argument(counts, holder)));
}

Ref histogram_enhancement(PyObject* src) {
  const Array image = uint16_image(src);
  return mapped(image, kernels::equalising_table16(counts_of(image).data()));
}

Ref adaptive_histogram_truncation_stretched_table(PyObject* counts, PyObject* scale_l, PyObject* scale_r) {
  Array holder;
  const std::int64_t* levels = counts_argument(counts, holder);
  const double left = as_double(Ref::borrow(scale_l));
  const double right = as_double(Ref::borrow(scale_r));
  return table_array(kernels::stretch_table16(levels, left, right));
}

Ref adaptive_histogram_truncation_stretched(PyObject* src, PyObject* scale_l, PyObject* scale_r) {
  const Array image = uint16_image(src);
  const double left = as_double(Ref::borrow(scale_l));
  const double right = as_double(Ref::borrow(scale_r));
  return mapped(image, kernels::stretch_table16(counts_of(image).data(), left, right));
}

// --- threshold searches -----------------------------------------------------------------------

Ref local_histogram_threshold_segmentation_table(PyObject* counts, PyObject* low_thr) {
  Array holder;
  const std::int64_t* levels = counts_argument(counts, holder);
  return table_array(kernels::binary_table(kernels::local_histogram_level16(levels, low_threshold(low_thr))));
}

Ref local_histogram_threshold_segmentation(PyObject* src, PyObject* low_thr) {
  const Array image = uint16_image(src);
  const long long low = low_threshold(low_thr);
  return binarised(image, kernels::local_histogram_level16(counts_of(image, true).data(), low));
}

// The entropy search with NumPy's own log2 values.
long long entropy_level(const std::int64_t* counts) {
  kernels::EntropySearch16 search(counts);
  if (!search.any_split()) return search.threshold(nullptr);
  const std::vector<double>& arguments = search.log2_arguments();
  const npy_intp size = static_cast<npy_intp>(arguments.size());
  Array values = new_array(1, &size, NPY_DOUBLE);
  std::copy(arguments.begin(), arguments.end(), values.data<double>());
  const Array logs = contiguous_as(np("log2", values.object).get(), NPY_DOUBLE);
  if (logs.size() != size) raise(PyExc_ValueError, "np.log2 gave an unexpected shape");
  return search.threshold(logs.data<double>());
}

Ref maximum_entropy_threshold_segmentation_table(PyObject* counts) {
  Array holder;
  return table_array(kernels::binary_table(entropy_level(counts_argument(counts, holder))));
}

Ref maximum_entropy_threshold_segmentation(PyObject* src) {
  const Array image = uint16_image(src);
  return binarised(image, entropy_level(counts_of(image).data()));
}

Ref maximum_inter_class_variance_segmentation_table(PyObject* counts) {
  Array holder;
  return table_array(kernels::binary_table(kernels::inter_class_variance_level16(counts_argument(counts, holder))));
}

Ref maximum_inter_class_variance_segmentation(PyObject* src) {
  const Array image = uint16_image(src);
  return binarised(image, kernels::inter_class_variance_level16(counts_of(image).data()));
}

// --- adaptive threshold -----------------------------------------------------------------------

// Exact window sums where OpenCV sums in int32 and every sample is decided
// alike by both of its scalings; nothing otherwise.
Ref binarised_against_box_sums(const Array& image, const Ref& side, float coef) {
  constexpr long long kMostIntegerSumArea = 1 << 15;  // OpenCV sums larger 16-bit windows in float64
  const std::optional<long long> k = exact_python_int(side.get());
  constexpr npy_intp kMostChannels = 4;
  const bool plane_or_channels =
      image.ndim() == 2 || (image.ndim() == 3 && image.shape()[2] >= 2 && image.shape()[2] <= kMostChannels);
  if (!k || *k < 1 || *k * *k > kMostIntegerSumArea || !plane_or_channels) return Ref();
  const npy_intp rows = image.shape()[0];
  const npy_intp cols = image.shape()[1];
  const npy_intp channels = image.ndim() == 3 ? image.shape()[2] : 1;
  if (rows <= *k / 2 || cols <= *k / 2) return Ref();
  Array result = new_array_like(image, NPY_USHORT);
  bool decided = false;
  const int threads = call_threads(image.size());
  without_gil([&] {
    decided = kernels::binarise_against_box_mean16(image.data<std::uint16_t>(), rows, cols, channels,
                                                   static_cast<int>(*k), coef, result.data<std::uint16_t>(), threads);
  });
  return decided ? result.object : Ref();
}

// On the image's range levels z (the stretch's 0 at its lowest level):
// OpenCV's float32 box mean of z, then one fused pass: 65535 where
// z - (1 - ratio) * mean >= 0 in float32.
Ref adaptive_threshold_segmentation(PyObject* src, PyObject* ksize, PyObject* ratio) {
  const Array image = on_own_range(uint16_image(src)).levels;
  Ref side = odd_value(Ref::borrow(ksize));
  const auto coef = static_cast<float>(1.0 - as_double(Ref::borrow(ratio)));
  if (Ref native = binarised_against_box_sums(image, side, coef)) return native;
  Ref float32 = attr(global("cv2"), "CV_32F");
  const Array mean = contiguous(cv2("boxFilter", image.object, float32, tuple(side, side)).get());
  if (mean.type() != NPY_FLOAT || mean.size() != image.size()) raise(PyExc_ValueError, "unexpected box mean");
  Array result = new_array_like(image, NPY_USHORT);
  const std::uint16_t* samples = image.data<std::uint16_t>();
  const float* means = mean.data<float>();
  std::uint16_t* out = result.data<std::uint16_t>();
  split_samples_without_gil(image.size(), [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
    kernels::binarise_against_mean16(samples + begin, means + begin, coef, out + begin, end - begin);
  });
  return result.object;
}

}  // namespace

PyMethodDef levels_functions[] = {
    {"level_range", fastcall_function<1, level_range>(), METH_FASTCALL,
     "level_range(counts): (lowest, step, span) of 65,536 level counts: every present level is lowest + step * z "
     "for z in 0..span, step the greatest common divisor of their distances from the lowest (1 for one level)."},
    {"histogram_enhancement", fastcall_function<1, histogram_enhancement>(), METH_FASTCALL,
     "histogram_enhancement(src): equalisation over the 65,536 levels."},
    {"histogram_enhancement_table", fastcall_function<1, histogram_enhancement_table>(), METH_FASTCALL,
     "histogram_enhancement_table(counts): the equalising table of 65,536 level counts."},
    {"adaptive_histogram_truncation_stretched", fastcall_function<3, adaptive_histogram_truncation_stretched>(),
     METH_FASTCALL, "adaptive_histogram_truncation_stretched(src, scale_l, scale_r): the truncated stretch."},
    {"adaptive_histogram_truncation_stretched_table",
     fastcall_function<3, adaptive_histogram_truncation_stretched_table>(), METH_FASTCALL,
     "adaptive_histogram_truncation_stretched_table(counts, scale_l, scale_r): the stretch table of all samples' "
     "level counts (all channels)."},
    {"local_histogram_threshold_segmentation", fastcall_function<2, local_histogram_threshold_segmentation>(),
     METH_FASTCALL, "local_histogram_threshold_segmentation(src, low_thr): the walk over channel 0's levels."},
    {"local_histogram_threshold_segmentation_table",
     fastcall_function<2, local_histogram_threshold_segmentation_table>(), METH_FASTCALL,
     "local_histogram_threshold_segmentation_table(counts, low_thr): the 0 / 65535 table; the counts are those "
     "of channel 0 only (every sample of a grey image), as the method counts them."},
    {"maximum_entropy_threshold_segmentation", fastcall_function<1, maximum_entropy_threshold_segmentation>(),
     METH_FASTCALL, "maximum_entropy_threshold_segmentation(src): the entropy search over 65,536 levels."},
    {"maximum_entropy_threshold_segmentation_table",
     fastcall_function<1, maximum_entropy_threshold_segmentation_table>(), METH_FASTCALL,
     "maximum_entropy_threshold_segmentation_table(counts): the 0 / 65535 table of all samples' level counts."},
    {"maximum_inter_class_variance_segmentation", fastcall_function<1, maximum_inter_class_variance_segmentation>(),
     METH_FASTCALL, "maximum_inter_class_variance_segmentation(src): the variance search over 65,536 levels."},
    {"maximum_inter_class_variance_segmentation_table",
     fastcall_function<1, maximum_inter_class_variance_segmentation_table>(), METH_FASTCALL,
     "maximum_inter_class_variance_segmentation_table(counts): the 0 / 65535 table of all samples' level counts."},
    {"adaptive_threshold_segmentation", fastcall_function<3, adaptive_threshold_segmentation>(), METH_FASTCALL,
     "adaptive_threshold_segmentation(src, ksize, ratio): against the float32 box mean at 16 bits."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace pictor::full_depth
