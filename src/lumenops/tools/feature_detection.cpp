// FeatureDetection: Canny edge maps.
#include <cmath>
#include <optional>
#include <utility>

#include "frame/ndarray.h"
#include "frame/singleton.h"
#include "frame/split_work.h"
#include "kernels/canny.h"
#include "kernels/depth.h"
#include "tool/depth.h"
#include "tool/keywords.h"
#include "tools/feature_detection.h"
#include "tools/tool_classes.h"

namespace pictor {
namespace {

// Thresholds beyond this size, like NaN, infinities and values that are not
// plain Python numbers, are left to OpenCV's own conversion and errors.
constexpr double kLargestNativeThreshold = 1 << 30;

// A threshold the native detector takes: an exact Python float or int (no
// bool, no subclass) within the native range.
std::optional<double> threshold_within_native_range(PyObject* value) {
  double number;
  if (PyFloat_CheckExact(value)) {
    number = PyFloat_AS_DOUBLE(value);
  } else if (const std::optional<long long> integer = exact_python_int(value)) {
    number = static_cast<double>(*integer);
  } else {
    return std::nullopt;
  }
  if (!(std::fabs(number) <= kLargestNativeThreshold)) return std::nullopt;
  return number;
}

// Colour images the native detector takes; other channel counts go to OpenCV.
constexpr npy_intp kColourChannels = 3;

// A grey or three-channel image of 8-bit samples, or of 16-bit samples on the
// 16-bit scale, whose working copy the detector forms itself.
bool is_native_image(PyObject* image, double max_value) {
  if (!PyArray_Check(image)) return false;
  PyArrayObject* array = reinterpret_cast<PyArrayObject*>(image);
  const int ndim = PyArray_NDIM(array);
  if (ndim != 2 && !(ndim == 3 && PyArray_DIM(array, 2) == kColourChannels)) return false;
  if (!kernels::canny_fits(PyArray_DIM(array, 0), PyArray_DIM(array, 1))) return false;
  const int type = PyArray_TYPE(array);
  return (type == NPY_UBYTE && max_value == kernels::kFullScale8) ||
         (type == NPY_USHORT && max_value == kernels::kFullScale16);
}

Ref native_edges(PyObject* image, kernels::CannyThresholds thresholds, Where where = Where::current()) {
  Array input = contiguous(image, where);
  Array edges = new_array(2, input.shape(), NPY_USHORT, where);
  const npy_intp rows = input.shape()[0];
  const npy_intp cols = input.shape()[1];
  const int channels = input.ndim() == 3 ? static_cast<int>(kColourChannels) : 1;
  bool done = false;
  const auto detect = [&](auto zero) {
    using T = decltype(zero);
    const int threads = call_threads(input.size());
    without_gil([&] {
      done = kernels::canny_edges(input.data<T>(), rows, cols, channels, thresholds, edges.data<std::uint16_t>(),
                                  threads);
    });
  };
  if (input.type() == NPY_UBYTE) detect(std::uint8_t{});
  else detect(std::uint16_t{});
  if (!done) {
    PyErr_NoMemory();
    rethrow(where);
  }
  return std::move(edges.object);
}

// cv2.Canny answers an empty image with None; the restore's `edges / 255`
// then fails, and so does this.
void require_edge_map(const Ref& edges, Where where = Where::current()) {
  if (PyArray_Check(edges.get())) return;
  Ref divisor = to_py(255);
  checked(PyNumber_TrueDivide(edges.get(), divisor.get()), where);
}

// Edges of the 8-bit working copy (thresholds on the 8-bit scale), 0/255 restored to 0/65535.
// Grey and three-channel images with plain thresholds go through the native
// detector, which forms the working copy and the restore in the same pass;
// the rest through OpenCV.
Ref canny_edge(const Args& args) {
  Ref src = args.get("src");
  Ref low_thr = args.get("low_thr");
  Ref high_thr = args.get("high_thr");
  const double max_value = depth::full_scale(src.get());
  const std::optional<kernels::CannyThresholds> thresholds = canny_working_thresholds(low_thr, high_thr);
  if (thresholds && is_native_image(src.get(), max_value)) return native_edges(src.get(), *thresholds);
  Ref working = depth::working_u8(src.get(), max_value);
  if (thresholds && is_native_image(working.get(), kernels::kFullScale8)) {
    return native_edges(working.get(), *thresholds);
  }
  Ref edges = cv2("Canny", working, low_thr, high_thr);
  require_edge_map(edges);
  return depth::restore_u16(edges.get());
}

}  // namespace

std::optional<kernels::CannyThresholds> canny_working_thresholds(const Ref& low_thr, const Ref& high_thr) {
  std::optional<double> low = threshold_within_native_range(low_thr.get());
  std::optional<double> high = threshold_within_native_range(high_thr.get());
  if (!low || !high) return std::nullopt;
  if (*low > *high) std::swap(low, high);
  return kernels::CannyThresholds{static_cast<int>(std::floor(*low)), static_cast<int>(std::floor(*high))};
}

const ClassSpec& feature_detection_class() {
  static const ClassSpec spec{
      "FeatureDetection",
      {
          positional("_init", init_with_utility_tool, {}),
          keywords("canny_edge", canny_edge, {{"src", nullptr}, {"low_thr", 50}, {"high_thr", 100}}),
      }};
  return spec;
}

}  // namespace pictor
