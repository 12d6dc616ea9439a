// Connected components of the non-zero samples of a plane, numbered as
// scipy.ndimage.label numbers them: 1, 2, ... in the order of each
// component's first sample in row-major order. Connectivity 1 joins the 4
// edge neighbours, 2 the 8 edge and corner neighbours.
//
// A plane in row stripes: each stripe labelled on its own, the components
// that touch the seams joined, then each stripe renumbered. label_plane does
// so over its threads; join_stripes and stripe_numbers are the same steps
// for stripes labelled apart (chunked and streamed images).
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace pictor::kernels {

// The number each label 0 .. count of a plane becomes (0 stays 0).
using Renumbering = std::function<std::vector<std::int32_t>(std::int64_t count)>;

// Labels of a rows x cols plane (row-major) into `labels`, each label
// renumbered where `renumbering` is given; returns the plane's own count.
// The plane's row stripes (split_rows' parts for `threads`) are labelled on
// their threads and joined at their seams: the labels do not depend on the split.
template <class T>
std::int64_t label_plane(const T* mask, std::ptrdiff_t rows, std::ptrdiff_t cols, bool corners, std::int32_t* labels,
                         int threads, const Renumbering& renumbering = nullptr);

// The seams of stripes labelled on their own: stripe i holds counts[i]
// labels and its first and last rows' labels are first_rows[i], last_rows[i]
// (cols each). The labels of all stripes in turn are the provisional labels
// 1 .. sum of counts; `joined` lists (sorted) those that join a component
// with a smaller provisional label, with the final number of their
// component; every other provisional label g becomes g less the joined
// labels below it.
struct JoinedLabels {
  std::vector<std::int64_t> joined;
  std::vector<std::int64_t> finals;
  std::int64_t count = 0;
};
JoinedLabels join_stripes(const std::vector<std::int64_t>& counts, const std::int32_t* first_rows,
                          const std::int32_t* last_rows, std::ptrdiff_t cols, bool corners);

// The whole image's number of each of a stripe's own labels 0 .. count (0
// stays 0): `offset` is the count of the stripes above it, `joined` and
// `finals` the slice of JoinedLabels within the stripe's provisional labels,
// and `joined_above` the number of joined labels of the stripes above it.
std::vector<std::int32_t> stripe_numbers(std::int64_t count, std::int64_t offset, std::int64_t joined_above,
                                         const std::int64_t* joined, const std::int64_t* finals,
                                         std::size_t joined_count);

}  // namespace pictor::kernels
