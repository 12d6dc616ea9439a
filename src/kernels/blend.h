// Layer arithmetic of the adaptive blend enhancements: the high-pass overlay
// layer, the hard-light and image-overlay blends, and the fused multi-scale
// pass that chains them without materialising the intermediate layers.
//
// Every operation is written in the element types NumPy 1.x gives the
// array expressions it replaces, in their order, so the bits agree.
#pragma once
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "kernels/depth.h"
#include "kernels/numeric.h"
#include "kernels/tables.h"

namespace pictor::kernels {

enum class BlendMode {
  HardLight,     // the base layer selects the formula
  ImageOverlay,  // the overlay layer selects the formula
};

// `src - blurimg` (blurimg float32) is float32 for samples of at most 16 bits
// and float32 samples, float64 for wider ones.
template <class T>
using OverlayFloat =
    std::conditional_t<(std::is_integral_v<T> && sizeof(T) <= 2) || std::is_same_v<T, float>, float, double>;

// `src / max_value` stays float32 only for float32 samples.
template <class T>
using BaseFloat = std::conditional_t<std::is_same_v<T, float>, float, double>;

constexpr double kOverlayCentre = 32767.5;  // 0.5 of the 16-bit full scale
constexpr double kOverlayScale = 65535.0;
constexpr double kBlendThreshold = 0.5;

// (src - blur.astype("float32") + 32767.5) / 65535.0
template <class T>
inline OverlayFloat<T> overlay_value(T src, T blurred) {
  using F = OverlayFloat<T>;
  const F blurred_f32 = static_cast<F>(static_cast<float>(blurred));
  return (static_cast<F>(src) - blurred_f32 + static_cast<F>(kOverlayCentre)) / static_cast<F>(kOverlayScale);
}

// For samples of at most 16 bits (float)src - (float)blurred is their exact
// difference, so the overlay is a function of that difference alone.
template <class T>
inline OverlayFloat<T> overlay_of_difference(long difference) {
  using F = OverlayFloat<T>;
  return (static_cast<F>(difference) + static_cast<F>(kOverlayCentre)) / static_cast<F>(kOverlayScale);
}

template <class T>
inline BaseFloat<T> base_value(T src, double max_value) {
  using B = BaseFloat<T>;
  return static_cast<B>(src) / static_cast<B>(max_value);
}

// `layer < thr` as NumPy compares a layer with a scalar threshold.
class Threshold {
 public:
  explicit Threshold(double value) : value_(value), single_(static_cast<float>(value)),
                                     single_precision_(keeps_float32(value)) {}

  template <class L>
  bool layer_below(L layer) const {
    if constexpr (std::is_same_v<L, float>) {
      if (single_precision_) return layer < single_;
    }
    return static_cast<double>(layer) < value_;
  }

 private:
  double value_;
  float single_;
  bool single_precision_;
};

// The threshold of the multi-scale enhancements: 0.5 is exact in both float
// types, so the comparison runs in the layer's own type.
struct HalfThreshold {
  template <class L>
  bool layer_below(L layer) const {
    return layer < static_cast<L>(kBlendThreshold);
  }
};

// One element of np.clip(T1 * mask + T2 * (1 - mask), 0, 1) with
// T1 = 2 * base * overlay and T2 = 1 - 2 * (1 - base) * (1 - overlay).
// T1 * mask keeps the layers' type; 1 - mask is int64, so the second term
// and the result are float64.
template <BlendMode mode, class B, class O, class Thr>
inline double blend(B base, O overlay, const Thr& thr) {
  using P = decltype(base * overlay);
  const bool multiply = mode == BlendMode::HardLight ? thr.layer_below(base) : thr.layer_below(overlay);
  const P t1 = static_cast<P>(B(2) * base) * static_cast<P>(overlay);
  const P t2 = P(1) - static_cast<P>(B(2) * (B(1) - base)) * static_cast<P>(O(1) - overlay);
  const double selected = static_cast<double>(t1 * static_cast<P>(multiply)) +
                          static_cast<double>(t2) * static_cast<double>(1 - static_cast<int>(multiply));
  return numpy_clip(selected, 0.0, 1.0);
}

template <class T>
void overlay_layer(const T* src, const T* blurred, OverlayFloat<T>* out, std::ptrdiff_t size) {
  for (std::ptrdiff_t i = 0; i < size; ++i) out[i] = overlay_value(src[i], blurred[i]);
}

template <BlendMode mode, class B, class O>
void blend_layers(const B* base, const O* overlay, const Threshold& thr, double* out, std::ptrdiff_t size) {
  for (std::ptrdiff_t i = 0; i < size; ++i) out[i] = blend<mode>(base[i], overlay[i], thr);
}

// Where a pass of the multi-scale enhancement stands in the chain.
enum class Pass { Only, First, Middle, Last };

// One pass of the multi-scale enhancement over every sample:
//   overlay_hl = blend(overlay_hl, overlay)   (blend(overlay, overlay) on the first pass)
// and on the last pass the result (blend(src / max_value, overlay_hl) * 65535).astype(uint16).
// The chain is kept in `chain` between passes. The blends of the base on
// earlier passes are never used, so they are skipped.
template <BlendMode mode, Pass pass, class Overlay, class FirstChain, class Base>
void run_multi_scale_pass(std::ptrdiff_t size, const Overlay& overlay, const FirstChain& first_chain,
                          const Base& base, double* chain, std::uint16_t* result) {
  constexpr bool starts = pass == Pass::Only || pass == Pass::First;
  constexpr bool ends = pass == Pass::Only || pass == Pass::Last;
  const HalfThreshold half;
  for (std::ptrdiff_t i = 0; i < size; ++i) {
    double overlay_hl;
    if constexpr (starts) {
      overlay_hl = first_chain(i);
    } else {
      overlay_hl = blend<mode>(chain[i], overlay(i), half);
    }
    if constexpr (ends) {
      result[i] = numpy_astype<std::uint16_t>(blend<mode>(base(i), overlay_hl, half) * kFullScale16);
    } else {
      chain[i] = overlay_hl;
    }
  }
}

// The layers come from the samples, or, for samples of at most 16 bits,
// from tables: the overlay and the first blend by the difference of source
// and blur, the base by the level.
template <BlendMode mode, Pass pass, class T>
void multi_scale_pass(const T* src, const T* blurred, double* chain, std::uint16_t* result, std::ptrdiff_t size,
                      double max_value) {
  constexpr bool starts = pass == Pass::Only || pass == Pass::First;
  constexpr bool ends = pass == Pass::Only || pass == Pass::Last;
  const HalfThreshold half;
  if constexpr (has_level_table<T>) {
    constexpr long widest = static_cast<long>(std::numeric_limits<T>::max()) - std::numeric_limits<T>::min();
    const auto overlay_of = integer_function(-widest, widest, starts ? 0 : size, overlay_of_difference<T>);
    const auto first_chain_of = integer_function(-widest, widest, starts ? size : 0, [half](long difference) {
      const auto overlay = overlay_of_difference<T>(difference);
      return blend<mode>(overlay, overlay, half);
    });
    const auto base_of = level_function<T>(ends ? size : 0,
                                           [max_value](T level) { return base_value(level, max_value); });
    const auto difference = [src, blurred](std::ptrdiff_t i) { return static_cast<long>(src[i]) - blurred[i]; };
    run_multi_scale_pass<mode, pass>(
        size, [&](std::ptrdiff_t i) { return overlay_of(difference(i)); },
        [&](std::ptrdiff_t i) { return first_chain_of(difference(i)); },
        [&](std::ptrdiff_t i) { return base_of(src[i]); }, chain, result);
  } else {
    const auto overlay = [src, blurred](std::ptrdiff_t i) { return overlay_value(src[i], blurred[i]); };
    run_multi_scale_pass<mode, pass>(
        size, overlay,
        [&](std::ptrdiff_t i) {
          const auto layer = overlay(i);
          return blend<mode>(layer, layer, half);
        },
        [src, max_value](std::ptrdiff_t i) { return base_value(src[i], max_value); }, chain, result);
  }
}

template <BlendMode mode, class T>
void multi_scale_pass(Pass pass, const T* src, const T* blurred, double* chain, std::uint16_t* result,
                      std::ptrdiff_t size, double max_value) {
  switch (pass) {
    case Pass::Only: return multi_scale_pass<mode, Pass::Only>(src, blurred, chain, result, size, max_value);
    case Pass::First: return multi_scale_pass<mode, Pass::First>(src, blurred, chain, result, size, max_value);
    case Pass::Middle: return multi_scale_pass<mode, Pass::Middle>(src, blurred, chain, result, size, max_value);
    case Pass::Last: return multi_scale_pass<mode, Pass::Last>(src, blurred, chain, result, size, max_value);
  }
}

}  // namespace pictor::kernels
