#include "kernels/labels.h"

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace pictor::kernels {
namespace {

// Union-find whose roots are the smallest members: a component's root is its
// first provisional label, the label of its first sample in scan order.
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
  std::size_t size() const { return parent_.size(); }

 private:
  std::vector<std::int32_t> parent_{0};  // label 0 is the background
};

}  // namespace

template <class T>
std::int64_t label_plane(const T* mask, std::ptrdiff_t rows, std::ptrdiff_t cols, bool corners,
                         std::int32_t* labels) {
  SmallestRoots sets;
  for (std::ptrdiff_t r = 0; r < rows; ++r) {
    const T* row = mask + r * cols;
    std::int32_t* out = labels + r * cols;
    const std::int32_t* above = r > 0 ? out - cols : nullptr;
    for (std::ptrdiff_t c = 0; c < cols; ++c) {
      if (!row[c]) {
        out[c] = 0;
        continue;
      }
      std::int32_t label = c > 0 ? out[c - 1] : 0;
      auto meet = [&](std::int32_t neighbour) {
        if (neighbour == 0) return;
        label = label == 0 ? neighbour : (label == neighbour ? label : sets.join(label, neighbour));
      };
      if (above != nullptr) {
        meet(above[c]);
        if (corners) {
          if (c > 0) meet(above[c - 1]);
          if (c + 1 < cols) meet(above[c + 1]);
        }
      }
      out[c] = label != 0 ? label : sets.add();
    }
  }
  // Final numbers in the order of the roots, which is the order of first samples.
  std::vector<std::int32_t> final_number(sets.size(), 0);
  std::int32_t count = 0;
  for (std::size_t label = 1; label < sets.size(); ++label) {
    const std::int32_t root = sets.find(static_cast<std::int32_t>(label));
    final_number[label] = root == static_cast<std::int32_t>(label) ? ++count : final_number[root];
  }
  const std::ptrdiff_t size = rows * cols;
  for (std::ptrdiff_t i = 0; i < size; ++i) labels[i] = final_number[labels[i]];
  return count;
}

template std::int64_t label_plane(const bool*, std::ptrdiff_t, std::ptrdiff_t, bool, std::int32_t*);
template std::int64_t label_plane(const std::uint8_t*, std::ptrdiff_t, std::ptrdiff_t, bool, std::int32_t*);
template std::int64_t label_plane(const std::uint16_t*, std::ptrdiff_t, std::ptrdiff_t, bool, std::int32_t*);

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

void renumber_stripe(std::int32_t* labels, std::ptrdiff_t size, std::int64_t count, std::int64_t offset,
                     std::int64_t joined_above, const std::int64_t* joined, const std::int64_t* finals,
                     std::size_t joined_count) {
  std::vector<std::int32_t> final_number(static_cast<std::size_t>(count) + 1, 0);
  std::size_t next_joined = 0;
  for (std::int64_t local = 1; local <= count; ++local) {
    const std::int64_t provisional = offset + local;
    if (next_joined < joined_count && joined[next_joined] == provisional) {
      final_number[local] = static_cast<std::int32_t>(finals[next_joined++]);
    } else {
      final_number[local] = static_cast<std::int32_t>(provisional - joined_above - next_joined);
    }
  }
  for (std::ptrdiff_t i = 0; i < size; ++i) labels[i] = final_number[labels[i]];
}

}  // namespace pictor::kernels
