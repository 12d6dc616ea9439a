// pictor._chunked: per-chunk steps for chunked execution, given a statistic
// that the caller computed over the whole image. Each reuses the kernel of the
// whole-image method, so a chunk's samples equal those of the whole call.
#include "tools/chunk_steps.h"
#include "tools/canny_steps.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "tool/depth.h"
#include "frame/module_functions.h"
#include "frame/ndarray.h"
#include "frame/split_work.h"
#include "full_depth/families.h"
#include "tools/image_enhancer/common.h"
#include "tools/image_enhancer/fuse_truncation.h"
#include "tools/image_segmenter.h"
#include "kernels/fusion.h"
#include "kernels/histogram.h"
#include "kernels/histogram16.h"
#include "kernels/reduce.h"
#include "kernels/threshold.h"
#include "kernels/stretch.h"

namespace pictor {
namespace {

// A chunk is one task of a Dask graph, whose scheduler already runs chunks
// side by side: each chunk's kernels stay on the worker's own thread.
constexpr int kOneThread = 1;

// Calls visit(T{}) for 8- and 16-bit samples; other types are not chunked.
template <class F>
void visit_levels(const Array& image, const char* what, F&& visit) {
  switch (image.type()) {
    case NPY_UBYTE: visit(std::uint8_t{}); break;
    case NPY_USHORT: visit(std::uint16_t{}); break;
    default: PyErr_Format(PyExc_TypeError, "%s takes uint8 or uint16 samples", what); throw PyError{Where::current()};
  }
}

// auto_level_apply(src, low_level, high_level): ImageEnhancer.auto_level's
// stretch of an 8- or 16-bit chunk, where low_level and high_level are the
// samples at the two sorted positions of the whole image.
Ref auto_level_apply(PyObject* src, PyObject* low_level, PyObject* high_level) {
  const double max_value = depth::full_scale(src);
  Array image = contiguous(src);
  const long low = PyLong_AsLong(low_level);
  const long high = PyLong_AsLong(high_level);
  if (PyErr_Occurred()) rethrow();
  Array result = new_array_like(image, NPY_USHORT);
  const float divisor = static_cast<float>(max_value);
  const int threads = call_threads(image.size());
  auto stretch_samples = [&](auto zero) {
    using T = decltype(zero);
    const float low_unit = kernels::unit_float32(static_cast<T>(low), divisor);
    const float high_unit = kernels::unit_float32(static_cast<T>(high), divisor);
    without_gil([&] {
      kernels::with_float_type(kernels::keeps_float32(1.0 - static_cast<double>(low_unit)), [&](auto float_zero) {
        const kernels::LevelStretch<decltype(float_zero)> stretch(low_unit, high_unit);
        kernels::map_by_level(
            image.data<T>(), result.data<std::uint16_t>(), image.size(),
            [&stretch, divisor](T level) { return stretch(kernels::unit_float32(level, divisor)); }, threads);
      });
    });
  };
  visit_levels(image, "auto_level_apply", stretch_samples);
  return result.object;
}

// auto_level_planes_into(src, dst, low_percent, high_percent):
// ImageEnhancer.auto_level of each plane of an 8- or 16-bit stack (n, rows,
// cols) into dst, a C-contiguous uint16 array of its shape; each plane's
// order statistics are its own. The planes are shared over the call's
// threads without the GIL, where a loop of method calls would take it back
// for every plane.
Ref auto_level_planes_into(PyObject* src, PyObject* dst, PyObject* low_percent, PyObject* high_percent) {
  Array planes = contiguous(src);
  const bool fits = planes.ndim() == 3 && planes.size() > 0 && is_uint16_output_of_shape(dst, planes);
  if (!fits) {
    raise(PyExc_ValueError, "auto_level_planes_into takes a stack of planes and a writeable C-contiguous uint16 "
                            "array of its shape");
  }
  const double max_value = depth::full_scale(src);
  const std::ptrdiff_t count = planes.shape()[0];
  const std::ptrdiff_t plane_size = planes.shape()[1] * planes.shape()[2];
  const Py_ssize_t low_position = enhancer::sorted_position(plane_size, Ref::borrow(low_percent), Where::current());
  Ref kept_fraction = checked(PyNumber_Subtract(to_py(1).get(), high_percent));
  const Py_ssize_t high_position = enhancer::sorted_position(plane_size, kept_fraction, Where::current());
  auto* out = static_cast<std::uint16_t*>(PyArray_DATA(as_array(dst)));
  std::atomic<bool> selected{true};
  visit_levels(planes, "auto_level_planes_into", [&](auto zero) {
    using T = decltype(zero);
    split_rows_without_gil(count, plane_size, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int) {
      for (std::ptrdiff_t plane = begin; plane < end; ++plane) {
        if (!kernels::auto_level(planes.data<T>() + plane * plane_size, out + plane * plane_size, plane_size,
                                 low_position, high_position, max_value, kOneThread)) {
          selected = false;
        }
      }
    });
  });
  if (!selected) {
    PyErr_NoMemory();
    throw PyError{Where::current()};
  }
  return Ref::borrow(dst);
}

// level_counts(src): how many samples of each level (256 or 65536 int64
// counts); integer sums, so the chunks' counts add up to the image's exactly.
Ref level_counts(PyObject* src) {
  Array image = contiguous(src);
  Ref result;
  visit_levels(image, "level_counts", [&](auto zero) {
    using T = decltype(zero);
    const npy_intp levels = npy_intp{1} << (8 * sizeof(T));
    Array counts = new_array(1, &levels, NPY_INT64);
    std::int64_t* out = counts.data<std::int64_t>();
    if constexpr (sizeof(T) == 2) {
      const int threads = call_threads(image.size());
      without_gil([&] {
        const kernels::Counts16 found = kernels::count_levels16(image.data<T>(), image.size(), 1, threads);
        std::copy(found.begin(), found.end(), out);
      });
      result = counts.object;
      return;
    }
    without_gil([&] {
      // 32-bit counts halve the table that the random increments hit; they
      // are flushed into the 64-bit result before they could overflow.
      constexpr npy_intp kFlushEvery = npy_intp{1} << 31;
      std::vector<std::uint32_t> partial(static_cast<std::size_t>(levels));
      std::fill(out, out + levels, 0);
      const T* samples = image.data<T>();
      for (npy_intp start = 0; start < image.size(); start += kFlushEvery) {
        const npy_intp end = std::min(image.size(), start + kFlushEvery);
        std::fill(partial.begin(), partial.end(), 0u);
        for (npy_intp i = start; i < end; ++i) ++partial[samples[i]];
        for (npy_intp level = 0; level < levels; ++level) out[level] += partial[level];
      }
    });
    result = counts.object;
  });
  return result;
}

// self_blend_apply(src, maximum, screen): ImageFusion's multiply (screen
// False) or screen fusion of an 8- or 16-bit chunk whose image maximum is
// `maximum`. Unsigned samples normalise into [0, 1] with the maximum at
// exactly 1, so the blend's own maximum is 1, as in the whole call.
Ref self_blend_apply(PyObject* src, PyObject* maximum, PyObject* screen) {
  Array image = contiguous(src);
  const long image_max = PyLong_AsLong(maximum);
  const int is_screen = PyObject_IsTrue(screen);
  if (PyErr_Occurred() || is_screen < 0) rethrow();
  Array result = new_array_like(image, image.type());
  visit_levels(image, "self_blend_apply", [&](auto zero) {
    using T = decltype(zero);
    const double top = static_cast<double>(image_max);
    without_gil([&] {
      auto blend = [&](auto mode) {
        kernels::map_by_level(image.data<T>(), result.data<T>(), image.size(), [top](T level) {
          if (top == 0) return T{};  // the whole call's zeros for an all-zero image
          return kernels::numpy_astype<T>(kernels::self_blend<decltype(mode)::value>(level / top) / 1.0 * top);
        });
      };
      if (is_screen) {
        blend(std::integral_constant<kernels::SelfBlend, kernels::SelfBlend::Screen>{});
      } else {
        blend(std::integral_constant<kernels::SelfBlend, kernels::SelfBlend::Multiply>{});
      }
    });
  });
  return result.object;
}

// The 8-bit working level of a native 8- or 16-bit sample (v, or v / 257).
template <class T>
inline std::uint8_t working_level(T sample) {
  if constexpr (sizeof(T) == 1) {
    return sample;
  } else {
    return static_cast<std::uint8_t>(sample / 257);
  }
}

// working_level_counts(src): the 256 counts of the 8-bit working levels.
Ref working_level_counts(PyObject* src) {
  Array image = contiguous(src);
  kernels::LevelCounts counts{};
  visit_levels(image, "working_level_counts", [&](auto zero) {
    using T = decltype(zero);
    without_gil([&] { counts = kernels::count_working_levels(image.data<T>(), image.size(), 1); });
  });
  const npy_intp levels = kernels::kLevels8;
  Array result = new_array(1, &levels, NPY_INT64);
  std::copy(counts.begin(), counts.end(), result.data<std::int64_t>());
  return result.object;
}

kernels::LevelCounts level_counts_of(PyObject* counts_array) {
  Array counts = contiguous_as(counts_array, NPY_INT64);
  if (counts.size() != kernels::kLevels8) raise(PyExc_ValueError, "expected 256 level counts");
  kernels::LevelCounts counts_copy{};
  std::copy(counts.data<std::int64_t>(), counts.data<std::int64_t>() + kernels::kLevels8, counts_copy.begin());
  return counts_copy;
}

// inter_class_variance_level(counts): the level at which
// ImageSegmenter.maximum_inter_class_variance_segmentation splits an image
// with these working-level counts.
Ref inter_class_variance_level(PyObject* counts_array) {
  const kernels::LevelCounts counts = level_counts_of(counts_array);
  std::int64_t total = 0;
  for (std::int64_t count : counts) total += count;
  return to_py(static_cast<long>(kernels::inter_class_variance_threshold(counts, total)));
}

// truncation_stretch_table(counts, scale_l, scale_r): the 16-bit result of
// each working level under ImageEnhancer.adaptive_histogram_truncation_stretched
// of an image with these working-level counts: UtilityTool.get_boundary's
// walk over the levels 10 to 255, its boundaries scaled and clipped to
// [0, 255], and the stretch between them.
constexpr long kBoundaryFirstLevel = 10;  // get_boundary(low_thr=10, high_thr=256)

double scaled_boundary(double edge, double scale) {
  const double scaled = edge * scale;
  return scaled < 0 ? 0.0 : (scaled > 255 ? 255.0 : scaled);  // np.clip(edge * scale, 0, 255), finite values
}

Ref truncation_stretch_table(PyObject* counts_array, PyObject* scale_l, PyObject* scale_r) {
  const kernels::LevelCounts counts = level_counts_of(counts_array);
  const double left_scale = PyFloat_AsDouble(scale_l);
  const double right_scale = PyFloat_AsDouble(scale_r);
  if (PyErr_Occurred()) rethrow();
  const std::vector<std::int64_t> kept(counts.begin() + kBoundaryFirstLevel, counts.end());
  const kernels::Boundaries found = kernels::histogram_boundaries(kept);
  const double low = scaled_boundary(static_cast<double>(kBoundaryFirstLevel + found.left), left_scale);
  const double high = scaled_boundary(static_cast<double>(kBoundaryFirstLevel + found.right + 1), right_scale);
  const npy_intp levels = kernels::kLevels8;
  Array table = new_array(1, &levels, NPY_USHORT);
  // Boundaries within [0, 255] keep float32 for the clip and the ratio, as in the whole call.
  kernels::truncation_stretch_table<float, float>(low, high, high - low, table.data<std::uint16_t>());
  return table.object;
}

// map_working_levels(src, table): table[working level] of every sample, for
// the methods whose result is a function of the working level once a
// whole-image statistic has fixed it.
Ref map_working_levels(PyObject* src, PyObject* table_array) {
  Array image = contiguous(src);
  Array table = contiguous_as(table_array, NPY_USHORT);
  if (table.size() != kernels::kLevels8) raise(PyExc_ValueError, "expected a table of 256 levels");
  Array result = new_array_like(image, NPY_USHORT);
  const int threads = call_threads(image.size());
  visit_levels(image, "map_working_levels", [&](auto zero) {
    using T = decltype(zero);
    const std::uint16_t* levels = table.data<std::uint16_t>();
    without_gil([&] {
      kernels::map_by_level(
          image.data<T>(), result.data<std::uint16_t>(), image.size(),
          [levels](T sample) { return levels[working_level(sample)]; }, threads);
    });
  });
  return result.object;
}

// map_levels(src, table): table[sample] of every sample of a uint16 array,
// for full depth's methods whose result is a function of the level once a
// whole-image statistic has fixed it (table: 65,536 uint16 values).
Ref map_levels(PyObject* src, PyObject* table_array) {
  Array image = contiguous(src);
  Array table = contiguous_as(table_array, NPY_USHORT);
  if (image.type() != NPY_USHORT || table.size() != kernels::kLevels16) {
    raise(PyExc_ValueError, "map_levels takes uint16 samples and a table of 65,536 levels");
  }
  Array result = new_array_like(image, NPY_USHORT);
  const int threads = call_threads(image.size());
  without_gil([&] {
    kernels::map_levels16(image.data<std::uint16_t>(), table.data<std::uint16_t>(), result.data<std::uint16_t>(),
                          image.size(), threads);
  });
  return result.object;
}

// The transfer of brightness_transfer for 8/16-bit samples (float64 throughout,
// as the whole call runs it for integer samples), from the image's mean and
// extreme samples.
struct TransferStatistics {
  double mean, target;
  long low, high;
};

TransferStatistics transfer_statistics(PyObject* mean, PyObject* target, PyObject* low, PyObject* high) {
  TransferStatistics statistics{PyFloat_AsDouble(mean), PyFloat_AsDouble(target), PyLong_AsLong(low),
                                PyLong_AsLong(high)};
  if (PyErr_Occurred()) rethrow();
  return statistics;
}

template <class T>
kernels::TransferNorm<T, double> norm_of(const TransferStatistics& statistics) {
  return kernels::transfer_norm<T, double>(statistics.mean, statistics.target, static_cast<T>(statistics.low),
                                           static_cast<T>(statistics.high));
}

// transfer_norm_sums(flat, mean, target, low, high): the pairwise sum of
// transfer_norm over each run of 8192 samples of a flat chunk that starts at
// a multiple of 8192 in the image: NumPy's buffers of np.mean(transfer_norm),
// which the caller adds in order.
Ref transfer_norm_sums(PyObject* src, PyObject* mean, PyObject* target, PyObject* low, PyObject* high) {
  Array flat = contiguous(src);
  const TransferStatistics statistics = transfer_statistics(mean, target, low, high);
  const npy_intp count = (flat.size() + kernels::detail::kReduceBuffer - 1) / kernels::detail::kReduceBuffer;
  Array sums = new_array(1, &count, NPY_DOUBLE);
  visit_levels(flat, "transfer_norm_sums", [&](auto zero) {
    using T = decltype(zero);
    const auto norm = norm_of<T>(statistics);
    without_gil([&] {
      double buffer[kernels::detail::kReduceBuffer];
      const T* samples = flat.data<T>();
      for (npy_intp block = 0; block < count; ++block) {
        const std::ptrdiff_t start = block * kernels::detail::kReduceBuffer;
        const std::ptrdiff_t length = std::min<std::ptrdiff_t>(kernels::detail::kReduceBuffer, flat.size() - start);
        for (std::ptrdiff_t j = 0; j < length; ++j) buffer[j] = norm(samples[start + j]);
        sums.data<double>()[block] = kernels::detail::pairwise_sum(buffer, length);
      }
    });
  });
  return sums.object;
}

// transfer_apply(src, mean, target, low, high, factor, full_scale):
// brightness_transfer of one chunk, given the image's statistics and the
// factor target / np.mean(transfer_norm).
Ref transfer_apply(PyObject* src, PyObject* mean, PyObject* target, PyObject* low, PyObject* high,
                   PyObject* factor_value, PyObject* full_scale_value) {
  Array image = contiguous(src);
  const TransferStatistics statistics = transfer_statistics(mean, target, low, high);
  const double factor = PyFloat_AsDouble(factor_value);
  const double full_scale = PyFloat_AsDouble(full_scale_value);
  if (PyErr_Occurred()) rethrow();
  Array result = new_array_like(image, image.type());
  visit_levels(image, "transfer_apply", [&](auto zero) {
    using T = decltype(zero);
    const auto norm = norm_of<T>(statistics);
    without_gil([&] {
      if (norm.span == 0) {  // a constant image: every sample at the target, as in the whole call
        const T level = kernels::numpy_astype<T>(kernels::numpy_clip(statistics.target, 0.0, full_scale));
        std::fill(result.data<T>(), result.data<T>() + image.size(), level);
        return;
      }
      kernels::write_transfer(image.data<T>(), result.data<T>(), image.size(), norm, factor, full_scale,
                              kOneThread);
    });
  });
  return result.object;
}

// local_histogram_level(segmenter, counts, low_thr): the level above which
// ImageSegmenter.local_histogram_threshold_segmentation marks the foreground
// of an image whose channel 0 has these working-level counts.
Ref local_histogram_level(PyObject* segmenter, PyObject* counts_array, PyObject* low_thr) {
  const kernels::LevelCounts counts = level_counts_of(counts_array);
  const long long low = PyLong_AsLongLong(low_thr);
  if (PyErr_Occurred()) rethrow();
  return to_py(segmenter::local_histogram_level(segmenter, counts, low));
}

// maximum_entropy_level(segmenter, counts): the same for
// ImageSegmenter.maximum_entropy_threshold_segmentation.
Ref maximum_entropy_level(PyObject* segmenter, PyObject* counts_array) {
  const kernels::LevelCounts counts = level_counts_of(counts_array);
  return to_py(static_cast<long>(segmenter::maximum_entropy_level(segmenter, counts)));
}

// run_sums(flat): NumPy's pairwise sum of each run of 8192 samples of a flat
// float32 or float64 chunk that starts at a multiple of 8192 in the whole
// array, in the chunk's own type; np.sum adds them in order.
Ref run_sums(PyObject* src) {
  Array flat = contiguous(src);
  const npy_intp count = (flat.size() + kernels::detail::kReduceBuffer - 1) / kernels::detail::kReduceBuffer;
  Array sums = new_array(1, &count, flat.type());
  auto sum_runs = [&](auto zero) {
    using F = decltype(zero);
    without_gil([&] {
      for (npy_intp run = 0; run < count; ++run) {
        const std::ptrdiff_t start = run * kernels::detail::kReduceBuffer;
        const std::ptrdiff_t length = std::min<std::ptrdiff_t>(kernels::detail::kReduceBuffer, flat.size() - start);
        sums.data<F>()[run] = kernels::detail::pairwise_sum(flat.data<F>() + start, length);
      }
    });
  };
  switch (flat.type()) {
    case NPY_FLOAT: sum_runs(float{}); break;
    case NPY_DOUBLE: sum_runs(double{}); break;
    default: raise(PyExc_TypeError, "run_sums takes float32 or float64 samples");
  }
  return sums.object;
}

Ref keyword_call(PyObject* method, PyObject* keywords) {
  if (!PyDict_Check(keywords)) raise(PyExc_TypeError, "expected a dict of keywords");
  Ref no_arguments = checked(PyTuple_New(0));
  return checked(PyObject_Call(method, no_arguments.get(), keywords));
}

// fuse_coarse_details(method, keywords): levels 3 and 4 of
// ImageEnhancer.multi_scale_fuse_enhancement(**keywords) after their gains,
// before their truncation; `method` is the bound method.
Ref fuse_coarse_details(PyObject* method, PyObject* keywords) {
  enhancer::FuseTruncation truncation;
  truncation.mode = enhancer::FuseTruncation::Mode::Record;
  {
    enhancer::FuseTruncationScope scope(truncation);
    keyword_call(method, keywords);
  }
  if (!truncation.recorded[0] || !truncation.recorded[1]) raise(PyExc_RuntimeError, "no coarse detail levels");
  return checked(PyTuple_Pack(2, truncation.recorded[0].get(), truncation.recorded[1].get()));
}

// fuse_with_bounds(method, keywords, bound3, bound4): the method's result with
// levels 3 and 4 truncated at these upper bounds (the whole image's mean or
// maximum of each) in place of the call's own.
Ref fuse_with_bounds(PyObject* method, PyObject* keywords, PyObject* bound3, PyObject* bound4) {
  enhancer::FuseTruncation truncation;
  truncation.mode = enhancer::FuseTruncation::Mode::Given;
  truncation.bounds = {PyFloat_AsDouble(bound3), PyFloat_AsDouble(bound4)};
  if (PyErr_Occurred()) rethrow();
  enhancer::FuseTruncationScope scope(truncation);
  return keyword_call(method, keywords);
}

PyMethodDef chunked_functions[] = {
    {"level_counts", one_argument<level_counts>, METH_O, "Samples per level of an 8- or 16-bit array, as int64."},
    {"auto_level_apply", fastcall_function<3, auto_level_apply>(), METH_FASTCALL,
     "auto_level's stretch of one chunk, given the whole image's two order statistics."},
    {"auto_level_planes_into", fastcall_function<4, auto_level_planes_into>(), METH_FASTCALL,
     "auto_level of each (rows, cols) plane of an (n, rows, cols) stack, written into dst, a C-contiguous uint16 "
     "array of its shape."},
    {"self_blend_apply", fastcall_function<3, self_blend_apply>(), METH_FASTCALL,
     "ImageFusion's multiply or screen fusion of one chunk, given the image's maximum."},
    {"working_level_counts", one_argument<working_level_counts>, METH_O,
     "Samples per 8-bit working level, as int64."},
    {"inter_class_variance_level", one_argument<inter_class_variance_level>, METH_O,
     "The inter-class-variance threshold level of 256 working-level counts."},
    {"truncation_stretch_table", fastcall_function<3, truncation_stretch_table>(), METH_FASTCALL,
     "adaptive_histogram_truncation_stretched's 16-bit result per working level, from 256 level counts."},
    {"map_working_levels", fastcall_function<2, map_working_levels>(), METH_FASTCALL,
     "table[working level] of every sample (table: 256 uint16 values)."},
    {"map_levels", fastcall_function<2, map_levels>(), METH_FASTCALL,
     "table[sample] of every sample of a uint16 array (table: 65,536 uint16 values)."},
    {"transfer_norm_sums", fastcall_function<5, transfer_norm_sums>(), METH_FASTCALL,
     "brightness_transfer's normalised transfer summed per 8192 samples of a flat chunk."},
    {"transfer_apply", fastcall_function<7, transfer_apply>(), METH_FASTCALL,
     "brightness_transfer of one chunk, given the image's statistics and factor."},
    {"local_histogram_level", fastcall_function<3, local_histogram_level>(), METH_FASTCALL,
     "local_histogram_threshold_segmentation's level from channel 0's 256 working-level counts."},
    {"maximum_entropy_level", fastcall_function<2, maximum_entropy_level>(), METH_FASTCALL,
     "maximum_entropy_threshold_segmentation's level from 256 working-level counts."},
    {"run_sums", one_argument<run_sums>, METH_O, "Pairwise sums of each 8192 samples of a flat float array."},
    {"fuse_coarse_details", fastcall_function<2, fuse_coarse_details>(), METH_FASTCALL,
     "multi_scale_fuse_enhancement's levels 3 and 4 before truncation."},
    {"fuse_with_bounds", fastcall_function<4, fuse_with_bounds>(), METH_FASTCALL,
     "multi_scale_fuse_enhancement with the given truncation bounds of levels 3 and 4."},
    {"canny_cells", fastcall_function<4, canny_steps::canny_cells>(), METH_FASTCALL, canny_steps::kCellsDoc},
    {"canny_stripe_summary", one_argument<canny_steps::canny_stripe_summary>, METH_O, canny_steps::kStripeSummaryDoc},
    {"canny_stripe_edges", fastcall_function<3, canny_steps::canny_stripe_edges>(), METH_FASTCALL,
     canny_steps::kStripeEdgesDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef chunked_definition = {
    PyModuleDef_HEAD_INIT, "pictor._chunked", "Per-chunk steps of pictor.dask (internal).", -1,
    chunked_functions, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

void register_chunked_module() { register_private_module(chunked_definition); }

}  // namespace pictor
