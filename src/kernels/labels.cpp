#include "kernels/labels.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>
#include <unordered_map>
#include <vector>

#include "kernels/parallel.h"

namespace pictor::kernels {
namespace {

// Union-find whose roots are the smallest members: a component's root is its
// first provisional label, the label of its first run in scan order.
class SmallestRoots {
 public:
  std::int32_t add() {
    parent_.push_back(static_cast<std::int32_t>(parent_.size()));
    return parent_.back();
  }
  std::int32_t find(std::int32_t label) {
    std::int32_t root = label;
    while (parent_[root] != root) root = parent_[root];
    while (parent_[label] != root) {
      const std::int32_t next = parent_[label];
      parent_[label] = root;
      label = next;
    }
    return root;
  }
  std::int32_t join(std::int32_t a, std::int32_t b) {
    a = find(a);
    b = find(b);
    if (a == b) return a;
    if (a > b) std::swap(a, b);
    parent_[b] = a;
    return a;
  }
  // The number of each provisional label's component (0 for 0), counted in
  // the order of the roots, which is the order of the components' first samples.
  std::vector<std::int32_t> component_numbers(std::int64_t& count) {
    std::vector<std::int32_t> numbers(parent_.size(), 0);
    std::int32_t found = 0;
    for (std::size_t label = 1; label < parent_.size(); ++label) {
      const std::int32_t root = find(static_cast<std::int32_t>(label));
      numbers[label] = root == static_cast<std::int32_t>(label) ? ++found : numbers[root];
    }
    count = found;
    return numbers;
  }

 private:
  std::vector<std::int32_t> parent_{0};  // label 0 is the background
};

// Columns [start, end) of non-zero samples of a row, and their provisional label.
struct Run {
  std::int32_t start;
  std::int32_t end;
  std::int32_t label;
};

// The low bits of each sample of a word of samples.
template <class T>
constexpr std::uint64_t kLowBitsOfLanes = sizeof(T) == 1 ? 0x7F7F7F7F7F7F7F7Fu : 0x7FFF7FFF7FFF7FFFu;

// One bit per sample of a word of samples (the first sample the lowest
// bit), set where the sample is non-zero: the top bit of each non-zero
// lane, then those bits multiplied into the word's top bits, none colliding.
template <class T>
std::uint64_t nonzero_lanes(std::uint64_t word) {
  constexpr std::uint64_t low = kLowBitsOfLanes<T>;
  const std::uint64_t top_bits = (((word & low) + low) | word) & ~low;
  if constexpr (sizeof(T) == 1) return ((top_bits >> 7) * 0x0102040810204080u) >> 56;
  return ((top_bits >> 15) * 0x1000200040008000u) >> 60;
}

constexpr std::ptrdiff_t kBitsPerWord = 64;

// Samples [column, column + 64) of a row as bits, set where non-zero; the
// bits past the row's end are clear.
template <class T>
std::uint64_t nonzero_bits(const T* row, std::ptrdiff_t column, std::ptrdiff_t cols) {
  static_assert(sizeof(T) == 1 || sizeof(T) == 2);
  constexpr std::ptrdiff_t lanes = sizeof(std::uint64_t) / sizeof(T);
  std::uint64_t bits = 0;
  if (std::endian::native == std::endian::little && column + kBitsPerWord <= cols) {
    for (std::ptrdiff_t lane = 0; lane < kBitsPerWord; lane += lanes) {
      std::uint64_t word;
      std::memcpy(&word, row + column + lane, sizeof word);
      bits |= nonzero_lanes<T>(word) << lane;
    }
    return bits;
  }
  const std::ptrdiff_t end = std::min(cols, column + kBitsPerWord);
  for (std::ptrdiff_t c = column; c < end; ++c) bits |= std::uint64_t{row[c] != 0} << (c - column);
  return bits;
}

// The runs of non-zero samples of a row, from where its bits change.
template <class T>
void find_runs(const T* row, std::ptrdiff_t cols, std::vector<Run>& runs) {
  runs.clear();
  std::uint64_t inside = 0;  // 1 within a run
  std::int32_t start = 0;
  for (std::ptrdiff_t column = 0; column < cols; column += kBitsPerWord) {
    const std::uint64_t bits = nonzero_bits(row, column, cols);
    for (std::uint64_t changes = bits ^ ((bits << 1) | inside); changes != 0; changes &= changes - 1) {
      const auto at = static_cast<std::int32_t>(column + std::countr_zero(changes));
      if (inside != 0) runs.push_back({start, at, 0});
      start = at;
      inside ^= 1;
    }
  }
  if (inside != 0) runs.push_back({start, static_cast<std::int32_t>(cols), 0});
}

// Labels each run of a row: the label of the runs above that touch it (all
// joined), or a new one. `reach` is 1 where corners touch, else 0.
void label_runs(std::vector<Run>& runs, const std::vector<Run>& above, std::int32_t reach, SmallestRoots& sets) {
  std::size_t first_above = 0;
  for (Run& run : runs) {
    // Runs above that end before this one's reach touch no later run either.
    while (first_above < above.size() && above[first_above].end + reach <= run.start) ++first_above;
    std::int32_t label = 0;
    for (std::size_t k = first_above; k < above.size() && above[k].start < run.end + reach; ++k) {
      const std::int32_t other = above[k].label;
      label = label == 0 ? other : label == other ? label : sets.join(label, other);
    }
    run.label = label != 0 ? label : sets.add();
  }
}

// Rows [begin, end) of a plane, the number of each of their provisional
// labels' components, and how many components they hold.
struct Stripe {
  std::ptrdiff_t begin = 0, end = 0;
  std::vector<std::int32_t> numbers;
  std::int64_t count = 0;
};

// The stripe's rows labelled on their own: each run's provisional label
// written at its first sample only, the rest left for write_numbers.
template <class T>
void label_stripe(const T* mask, std::ptrdiff_t cols, bool corners, std::int32_t* labels, Stripe& stripe) {
  SmallestRoots sets;
  std::vector<Run> runs, above;
  for (std::ptrdiff_t r = stripe.begin; r < stripe.end; ++r) {
    find_runs(mask + r * cols, cols, runs);
    label_runs(runs, above, corners ? 1 : 0, sets);
    for (const Run& run : runs) labels[r * cols + run.start] = run.label;
    std::swap(runs, above);
  }
  stripe.numbers = sets.component_numbers(stripe.count);
}

// A row of `out`: 0 off the runs, over each run table[provisional label at its first sample in `provisional`].
template <class T>
void write_numbers(const T* row, std::ptrdiff_t cols, const std::int32_t* provisional, const std::int32_t* table,
                   std::int32_t* out, std::vector<Run>& runs) {
  find_runs(row, cols, runs);
  std::ptrdiff_t done = 0;
  for (const Run& run : runs) {
    const std::int32_t number = table[provisional[run.start]];
    std::fill(out + done, out + run.start, 0);
    std::fill(out + run.start, out + run.end, number);
    done = run.end;
  }
  std::fill(out + done, out + cols, 0);
}

// Joins the stripes at their seams: the whole image's number of each stripe's
// provisional labels (in place of its component numbers); returns the count.
template <class T>
std::int64_t join_at_seams(const T* mask, std::ptrdiff_t cols, bool corners, const std::int32_t* labels,
                           std::vector<Stripe>& stripes) {
  const std::size_t count = stripes.size();
  std::vector<std::int32_t> first_rows(count * cols), last_rows(count * cols);
  std::vector<std::int64_t> counts(count);
  std::vector<Run> runs;
  for (std::size_t s = 0; s < count; ++s) {
    const Stripe& stripe = stripes[s];
    const std::int32_t* numbers = stripe.numbers.data();
    const std::ptrdiff_t first = stripe.begin, last = stripe.end - 1;
    write_numbers(mask + first * cols, cols, labels + first * cols, numbers, first_rows.data() + s * cols, runs);
    write_numbers(mask + last * cols, cols, labels + last * cols, numbers, last_rows.data() + s * cols, runs);
    counts[s] = stripe.count;
  }
  const JoinedLabels joined = join_stripes(counts, first_rows.data(), last_rows.data(), cols, corners);
  std::int64_t offset = 0;
  for (Stripe& stripe : stripes) {
    const auto from = std::lower_bound(joined.joined.begin(), joined.joined.end(), offset + 1);
    const auto to = std::lower_bound(from, joined.joined.end(), offset + stripe.count + 1);
    const std::size_t above = static_cast<std::size_t>(from - joined.joined.begin());
    const std::vector<std::int32_t> numbers = stripe_numbers(stripe.count, offset, static_cast<std::int64_t>(above),
                                                             joined.joined.data() + above, joined.finals.data() + above,
                                                             static_cast<std::size_t>(to - from));
    for (std::int32_t& number : stripe.numbers) number = numbers[number];
    offset += stripe.count;
  }
  return joined.count;
}

}  // namespace

template <class T>
std::int64_t label_plane(const T* mask, std::ptrdiff_t rows, std::ptrdiff_t cols, bool corners, std::int32_t* labels,
                         int threads, const Renumbering& renumbering) {
  if (rows == 0 || cols == 0) return 0;
  std::vector<Stripe> stripes(static_cast<std::size_t>(part_count(rows, cols, threads)));
  split_rows(rows, cols, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int part) {
    Stripe& stripe = stripes[static_cast<std::size_t>(part)];
    stripe.begin = begin;
    stripe.end = end;
    label_stripe(mask, cols, corners, labels, stripe);
  });
  const std::int64_t count = stripes.size() == 1 ? stripes[0].count : join_at_seams(mask, cols, corners, labels, stripes);
  if (renumbering) {
    const std::vector<std::int32_t> numbers = renumbering(count);
    for (Stripe& stripe : stripes) {
      for (std::int32_t& number : stripe.numbers) number = numbers[number];
    }
  }
  split_rows(rows, cols, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int part) {
    const std::int32_t* table = stripes[static_cast<std::size_t>(part)].numbers.data();
    std::vector<Run> runs;
    for (std::ptrdiff_t r = begin; r < end; ++r) {
      write_numbers(mask + r * cols, cols, labels + r * cols, table, labels + r * cols, runs);
    }
  });
  return count;
}

template std::int64_t label_plane(const bool*, std::ptrdiff_t, std::ptrdiff_t, bool, std::int32_t*, int,
                                   const Renumbering&);
template std::int64_t label_plane(const std::uint8_t*, std::ptrdiff_t, std::ptrdiff_t, bool, std::int32_t*, int,
                                   const Renumbering&);
template std::int64_t label_plane(const std::uint16_t*, std::ptrdiff_t, std::ptrdiff_t, bool, std::int32_t*, int,
                                   const Renumbering&);

namespace {

// Union-find over the provisional labels met on the seams only, keyed by label.
class SeamSets {
 public:
  std::int64_t find(std::int64_t label) {
    auto found = parent_.find(label);
    if (found == parent_.end()) return label;
    std::int64_t root = found->second;
    for (auto next = parent_.find(root); next != parent_.end() && next->second != root; next = parent_.find(root)) {
      root = next->second;
    }
    found->second = root;
    return root;
  }
  void join(std::int64_t a, std::int64_t b) {
    a = find(a);
    b = find(b);
    if (a == b) return;
    if (a > b) std::swap(a, b);
    parent_.try_emplace(a, a);
    parent_[b] = a;
  }
  // The labels that are not their component's root, sorted.
  std::vector<std::int64_t> joined() {
    std::vector<std::int64_t> found;
    for (auto& [label, parent] : parent_) {
      if (find(label) != label) found.push_back(label);
    }
    std::sort(found.begin(), found.end());
    return found;
  }

 private:
  std::unordered_map<std::int64_t, std::int64_t> parent_;
};

}  // namespace

JoinedLabels join_stripes(const std::vector<std::int64_t>& counts, const std::int32_t* first_rows,
                          const std::int32_t* last_rows, std::ptrdiff_t cols, bool corners) {
  SeamSets sets;
  std::int64_t offset = 0;
  for (std::size_t stripe = 0; stripe + 1 < counts.size(); ++stripe) {
    const std::int32_t* upper = last_rows + stripe * cols;
    const std::int32_t* lower = first_rows + (stripe + 1) * cols;
    const std::int64_t lower_offset = offset + counts[stripe];
    for (std::ptrdiff_t c = 0; c < cols; ++c) {
      if (upper[c] == 0) continue;
      const std::ptrdiff_t from = corners && c > 0 ? c - 1 : c;
      const std::ptrdiff_t to = corners && c + 1 < cols ? c + 1 : c;
      for (std::ptrdiff_t d = from; d <= to; ++d) {
        if (lower[d] != 0) sets.join(offset + upper[c], lower_offset + lower[d]);
      }
    }
    offset = lower_offset;
  }
  const std::int64_t provisional = offset + (counts.empty() ? 0 : counts.back());
  JoinedLabels result;
  result.joined = sets.joined();
  result.finals.reserve(result.joined.size());
  for (std::int64_t label : result.joined) {
    // A root's final number is its label less the joined labels below it.
    const std::int64_t root = sets.find(label);
    const auto below = std::lower_bound(result.joined.begin(), result.joined.end(), root) - result.joined.begin();
    result.finals.push_back(root - below);
  }
  result.count = provisional - static_cast<std::int64_t>(result.joined.size());
  return result;
}

std::vector<std::int32_t> stripe_numbers(std::int64_t count, std::int64_t offset, std::int64_t joined_above,
                                         const std::int64_t* joined, const std::int64_t* finals,
                                         std::size_t joined_count) {
  std::vector<std::int32_t> numbers(static_cast<std::size_t>(count) + 1, 0);
  std::size_t next_joined = 0;
  for (std::int64_t local = 1; local <= count; ++local) {
    const std::int64_t provisional = offset + local;
    if (next_joined < joined_count && joined[next_joined] == provisional) {
      numbers[local] = static_cast<std::int32_t>(finals[next_joined++]);
    } else {
      numbers[local] = static_cast<std::int32_t>(provisional - joined_above - static_cast<std::int64_t>(next_joined));
    }
  }
  return numbers;
}

}  // namespace pictor::kernels
