// One call's work split over threads.
//
// A kernel hands a range of rows (or of samples) to `split_rows`, which cuts it
// into contiguous parts and runs each part on its own thread, the caller's
// thread taking the first. The caller says how many threads it may use; the
// parts are the same whatever the machine, so a kernel that writes disjoint
// rows, or merges per-part partials in part order, gives the same bytes on any
// thread count.
//
// Threads are started for the call, and the call returns once every part is
// done: between calls no thread of ours does any work (a helper that starts
// after the caller has taken all the parts only exits), so fork() at any time
// leaves parent and child working. A caller never waits for a helper that has
// not begun a part, so a loaded machine that is slow to schedule the helper
// costs the caller nothing beyond doing the parts itself. Concurrent callers
// share one count of busy threads: a caller adds helpers only while the
// threads busy in split calls stay within the count it was given, so several
// callers at once do not oversubscribe the cores; a caller that finds them
// taken runs all its parts itself.
#pragma once
#include <cstddef>
#include <functional>

namespace pictor::kernels {

// Work below this many samples per extra thread costs more to hand over than it saves.
constexpr std::ptrdiff_t kSamplesPerThread = std::ptrdiff_t{1} << 17;

// Splits of sample ranges fall on multiples of this many samples: whole cache
// lines, and whole vectors for the loops inside each part.
constexpr std::ptrdiff_t kSplitAlignment = 64;

// A kernel's part: rows [begin, end), and the index of the part (0, 1, ...).
using PartBody = std::function<void(std::ptrdiff_t begin, std::ptrdiff_t end, int part)>;

// How many parts `split_rows` cuts `rows` rows of `row_samples` samples each
// into, when `threads` threads may be used: at most `threads`, at most one part
// per row, and at least kSamplesPerThread samples in each part.
int part_count(std::ptrdiff_t rows, std::ptrdiff_t row_samples, int threads);

// Runs body over rows [0, rows) cut into part_count(...) contiguous parts of
// near-equal size (part k covers [rows * k / n, rows * (k + 1) / n)); returns
// after every part has finished. An exception of a part is rethrown here.
// Fewer threads than parts may run them when other callers hold the budget;
// the parts themselves never change.
void split_rows(std::ptrdiff_t rows, std::ptrdiff_t row_samples, int threads, const PartBody& body);

// Runs body over samples [0, size) split at multiples of kSplitAlignment.
void split_samples(std::ptrdiff_t size, int threads, const PartBody& body);

// How many parts split_samples cuts `size` samples into.
int sample_part_count(std::ptrdiff_t size, int threads);

// The first row of part `part` of `parts` over `rows` rows.
constexpr std::ptrdiff_t part_start(std::ptrdiff_t rows, int part, int parts) {
  return rows * part / parts;
}

}  // namespace pictor::kernels
