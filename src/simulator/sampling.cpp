// Sampling: cumulative table, fixed-shape search, the same search for many uniforms at once
// (by buckets of the uniforms), tallies and keys.
#include "simulator/sampling.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>
#include <utility>

#include "core/abort.h"
#include "core/parallel.h"
#include "simulator/messages.h"

namespace vorn::sim {
namespace {

// Loops of fewer items than this run on the calling thread.
constexpr std::uint64_t POOL_MIN_WORK = 8192;
// Element loops are not split below this many items per part.
constexpr std::uint64_t PARALLEL_GRAIN = 4096;

// Runs body(begin, end) over [0, count): on the pool when `work` (a count of items, however
// they are grouped into the count) reaches POOL_MIN_WORK, else on the calling thread.
template <typename Body>
void split_over_pool(std::uint64_t count, std::uint64_t work, std::uint64_t grain,
                     const Body& body) {
  if (work >= POOL_MIN_WORK && count > grain) {
    core::parallel_for(0, count, grain, body);
  } else if (count > 0) {
    body(0, count);
  }
}

// From this many bytes on, the blocks of resize_large are advised to be backed by huge pages.
constexpr std::size_t HUGE_PAGE_MIN_BYTES = std::size_t{4} << 20;

// v.resize(count), first asking the kernel, when a large block has to be taken, to back it with
// huge pages: the tables and scratch of a large state are filled once, right away, and faulting
// them in 4 KiB at a time costs more than filling them. Only advice; without it nothing changes
// but the time.
template <typename T>
void resize_large(std::vector<T>& v, std::size_t count) {
  if (count > v.capacity() && count * sizeof(T) >= HUGE_PAGE_MIN_BYTES) {
    v.reserve(count);
    const auto first = reinterpret_cast<std::uintptr_t>(v.data());
    const std::uintptr_t page = (first + 4095) & ~std::uintptr_t{4095};
    const std::uintptr_t end = first + v.capacity() * sizeof(T);
#ifdef MADV_HUGEPAGE
    (void)madvise(reinterpret_cast<void*>(page), end - page, MADV_HUGEPAGE);
#endif
  }
  v.resize(count);
}

}  // namespace

template <typename T>
std::vector<double> cumulative_probabilities(std::span<const core::Complex<T>> amplitudes) {
  std::vector<double> cumulative;
  resize_large(cumulative, amplitudes.size());
  if (cumulative.empty()) {
    return cumulative;
  }
  // The probabilities do not depend on each other and are formed on the pool; only the
  // additions are chained, on this thread.
  split_over_pool(amplitudes.size(), amplitudes.size(), PARALLEL_GRAIN,
                  [&](std::uint64_t begin, std::uint64_t end) {
                    for (std::uint64_t i = begin; i < end; ++i) {
                      // Formed in the state's own float type, then widened.
                      const T p =
                          amplitudes[i].re * amplitudes[i].re + amplitudes[i].im * amplitudes[i].im;
                      cumulative[i] = static_cast<double>(p);
                    }
                  });
  // Strictly left to right; the table starts with p[0] itself, not 0.0 + p[0].
  double sum = cumulative[0];
  for (std::size_t i = 1; i < cumulative.size(); ++i) {
    sum = sum + cumulative[i];
    cumulative[i] = sum;
  }
  // Whatever the total falls short of (or exceeds) 1.0 goes to (or comes off) the last outcome.
  cumulative.back() = 1.0;
  return cumulative;
}

template <typename T>
std::vector<double> cumulative_probabilities(const core::StateVector<T>& state) {
  return cumulative_probabilities(state.amplitudes());
}

template std::vector<double> cumulative_probabilities<float>(const core::StateVector<float>&);
template std::vector<double> cumulative_probabilities<double>(const core::StateVector<double>&);
template std::vector<double> cumulative_probabilities<float>(std::span<const core::Complex<float>>);
template std::vector<double> cumulative_probabilities<double>(
    std::span<const core::Complex<double>>);

std::uint64_t search_window_base(std::span<const double> cumulative, double u) {
  // The same number of steps for every u: halve the window, moving its base up whenever u is
  // not below the midpoint's value.
  std::uint64_t base = 0;
  std::uint64_t size = cumulative.size();
  while (size > 1) {
    const std::uint64_t half = size / 2;
    const std::uint64_t mid = base + half;
    if (u >= cumulative[mid]) {
      base = mid;
    }
    size -= half;
  }
  return base;
}

std::uint64_t search_cumulative(std::span<const double> cumulative, double u) {
  const std::uint64_t base = search_window_base(cumulative, u);
  const std::uint64_t k = u >= cumulative[base] ? base + 1 : base;
  return std::min<std::uint64_t>(k, cumulative.size() - 1);
}

namespace {

// Writes the key of `index` over key[0, width): '0' padding, then the binary digits.
void write_key(char* key, std::uint64_t index, std::uint64_t width) {
  std::fill(key, key + width, '0');
  for (std::uint64_t bit = 0; bit < width && bit < 64; ++bit) {
    if (((index >> bit) & 1) != 0) {
      key[width - 1 - bit] = '1';
    }
  }
}

}  // namespace

std::string outcome_key(std::uint64_t index, std::uint64_t width) {
  if (width > MAX_KEY_WIDTH) {
    core::abort_with(messages::KEY_TOO_WIDE);
  }
  std::string key(width, '0');
  write_key(key.data(), index, width);
  return key;
}

namespace {

// Shots are drawn and searched this many at a time, so that the scratch memory does not grow
// with the number of shots.
constexpr std::uint64_t CHUNK = std::uint64_t{1} << 22;
// No chunk is larger: positions inside a chunk are 32-bit.
constexpr std::uint64_t CHUNK_LIMIT = UINT32_MAX;
// The uniforms searched side by side in the per-uniform search.
constexpr std::uint64_t LOCKSTEP = 16;
// At most 2^12 buckets of [0, 1) and 2^12 guide ranges inside a bucket.
constexpr unsigned MAX_BUCKET_BITS = 12;
constexpr unsigned GUIDE_BITS = 12;
constexpr std::uint64_t GUIDE_SIZE = std::uint64_t{1} << GUIDE_BITS;

// The fixed-shape search of sampling.h, before its clamp, for up to LOCKSTEP uniforms side by
// side: the search has the same shape for every u, so the batch walks it in lockstep and each
// level's loads, independent of each other, overlap their cache misses. Every u makes exactly
// the comparisons of its own search. Over a non-decreasing table k[b] is the number of entries
// <= u[b]. Precondition: `table` is not empty.
void search_lockstep(std::span<const double> table, const double* u, std::size_t count,
                     std::uint64_t* k) {
  std::array<std::uint64_t, LOCKSTEP> base{};
  for (std::uint64_t size = table.size(); size > 1;) {
    const std::uint64_t half = size / 2;
    for (std::size_t b = 0; b < count; ++b) {
      const std::uint64_t mid = base[b] + half;
      base[b] = u[b] >= table[mid] ? mid : base[b];
    }
    size -= half;
  }
  for (std::size_t b = 0; b < count; ++b) {
    k[b] = u[b] >= table[base[b]] ? base[b] + 1 : base[b];
  }
}

// search_cumulative for every u, on the pool when there are many.
void search_each(std::span<const double> cumulative, std::span<const double> uniforms,
                 std::span<std::uint64_t> found) {
  const std::uint64_t last = cumulative.size() - 1;
  const std::uint64_t batches = (uniforms.size() + LOCKSTEP - 1) / LOCKSTEP;
  const std::uint64_t work = uniforms.size() * static_cast<std::uint64_t>(std::bit_width(last));
  split_over_pool(batches, work, 1, [&](std::uint64_t first_batch, std::uint64_t end_batch) {
    for (std::uint64_t batch = first_batch; batch < end_batch; ++batch) {
      const std::uint64_t first = batch * LOCKSTEP;
      std::uint64_t* k = found.data() + first;
      search_lockstep(cumulative, uniforms.data() + first,
                      std::min(LOCKSTEP, uniforms.size() - first), k);
      for (std::uint64_t b = 0; b < std::min(LOCKSTEP, uniforms.size() - first); ++b) {
        k[b] = std::min(k[b], last);
      }
    }
  });
}

// Whether search_cumulative over `cumulative` is the count of the leading entries <= u (see
// sampling.h): at least three entries, and the leading ones (all but the last) non-decreasing,
// which no NaN among them passes. One pass, split over the pool.
bool search_counts_leading_entries(std::span<const double> cumulative) {
  if (cumulative.size() < 3) {
    return false;
  }
  // Pairs (i, i + 1) of leading entries, i < size - 2.
  const std::uint64_t pairs = cumulative.size() - 2;
  constexpr std::uint64_t kBlock = std::uint64_t{1} << 16;
  std::atomic<bool> sorted{true};
  split_over_pool((pairs + kBlock - 1) / kBlock, pairs, 1,
                  [&](std::uint64_t first_block, std::uint64_t end_block) {
                    const std::uint64_t end = std::min(pairs, end_block * kBlock);
                    for (std::uint64_t i = first_block * kBlock; i < end; ++i) {
                      if (!(cumulative[i] <= cumulative[i + 1])) {
                        sorted.store(false, std::memory_order_relaxed);
                        return;
                      }
                    }
                  });
  return sorted.load(std::memory_order_relaxed);
}

bool in_unit_range(double u) { return u >= 0.0 && u < 1.0; }

// Counts, for many uniforms u in [0, 1) at once, the entries of a non-decreasing table that are
// <= u. [0, 1) is cut into 2^bits equal buckets, and the entries <= a bucket's lower edge are
// counted once per bucket (its bound), so that the count for a u of bucket b lies between
// bound[b] and bound[b + 1]: the uniforms of a chunk are grouped by bucket (a counting sort),
// and each bucket, on the pool, searches only its own stretch of the table, which stays cached.
// A bucket with enough uniforms for its stretch walks the stretch once to make a guide (the
// count at the lower edge of each of up to GUIDE_SIZE equal sub-ranges of the bucket), which
// leaves each uniform a search over the few entries of its sub-range; a bucket with few
// uniforms searches the stretch for each. Every boundary is a multiple of a power of two below
// 2^53, so each edge, u times the number of ranges and its floor are exact, and every count is
// exactly the number of entries <= u.
class BucketSearch {
 public:
  // A bucket's uniforms after a search: their positions in the searched span and their counts,
  // slot for slot; every count lies in [lo, hi].
  struct Bucket {
    std::span<const std::uint32_t> positions;
    std::span<std::uint64_t> found;
    std::uint64_t lo;
    std::uint64_t hi;
  };

  // `table` non-decreasing; about `items` uniforms are searched per call.
  BucketSearch(std::span<const double> table, std::uint64_t items)
      : table_(table),
        bits_(static_cast<unsigned>(std::clamp(static_cast<int>(std::bit_width(items)) - 7, 0,
                                               static_cast<int>(MAX_BUCKET_BITS)))),
        bounds_((std::uint64_t{1} << bits_) + 1) {
    const double width = std::ldexp(1.0, -static_cast<int>(bits_));
    split_over_pool(
        bounds_.size(), bounds_.size() * 16, 16, [&](std::uint64_t begin, std::uint64_t end) {
          for (std::uint64_t b = begin; b < end; ++b) {
            bounds_[b] = count_not_above(0, table_.size(), static_cast<double>(b) * width);
          }
        });
  }

  // Counts the entries <= u for every u of `uniforms` in [0, 1) (the others are left out), then
  // calls done(bucket) for each bucket, on the thread that searched it.
  template <typename Done>
  void search(std::span<const double> uniforms, const Done& done) {
    const std::uint64_t buckets = bounds_.size() - 1;
    const double scale = std::ldexp(1.0, static_cast<int>(bits_));
    starts_.assign(buckets + 1, 0);
    for (const double u : uniforms) {
      if (in_unit_range(u)) {
        ++starts_[static_cast<std::uint64_t>(u * scale) + 1];
      }
    }
    for (std::uint64_t b = 0; b < buckets; ++b) {
      starts_[b + 1] += starts_[b];
    }
    const std::uint64_t total = starts_.back();
    resize_large(grouped_, total);
    resize_large(positions_, total);
    resize_large(found_, total);
    next_.assign(starts_.begin(), starts_.end() - 1);
    for (std::uint64_t i = 0; i < uniforms.size(); ++i) {
      const double u = uniforms[i];
      if (in_unit_range(u)) {
        const std::uint64_t slot = next_[static_cast<std::uint64_t>(u * scale)]++;
        grouped_[slot] = u;
        positions_[slot] = static_cast<std::uint32_t>(i);
      }
    }
    split_over_pool(buckets, total, 1, [&](std::uint64_t begin, std::uint64_t end) {
      std::array<std::uint64_t, GUIDE_SIZE + 1> guide;
      for (std::uint64_t b = begin; b < end; ++b) {
        const std::uint64_t first = starts_[b];
        const std::uint64_t count = starts_[b + 1] - first;
        if (count == 0) {
          continue;
        }
        search_bucket(b, first, count, guide);
        done(Bucket{std::span<const std::uint32_t>(positions_).subspan(first, count),
                    std::span<std::uint64_t>(found_).subspan(first, count), bounds_[b],
                    bounds_[b + 1]});
      }
    });
  }

  // After a search: the counts of all the uniforms searched, bucket after bucket.
  std::span<std::uint64_t> found() { return found_; }

 private:
  // The number of entries <= u, knowing that it lies in [lo, hi].
  std::uint64_t count_not_above(std::uint64_t lo, std::uint64_t hi, double u) const {
    const auto begin = table_.begin();
    return static_cast<std::uint64_t>(std::upper_bound(begin + static_cast<std::ptrdiff_t>(lo),
                                                       begin + static_cast<std::ptrdiff_t>(hi), u) -
                                      begin);
  }

  void search_bucket(std::uint64_t b, std::uint64_t first, std::uint64_t count,
                     std::array<std::uint64_t, GUIDE_SIZE + 1>& guide) {
    const std::uint64_t lo = bounds_[b];
    const std::uint64_t hi = bounds_[b + 1];
    const std::uint64_t stretch = hi - lo;
    const double* u = grouped_.data() + first;
    std::uint64_t* found = found_.data() + first;
    if (stretch == 0) {
      std::fill(found, found + count, lo);
      return;
    }
    // Walking the stretch reads it in order, a few cycles an entry; searching it costs each u
    // about log2 of it in loads, the last of them cache misses.
    if (count * 64 < stretch) {
      const std::span<const double> part = table_.subspan(lo, stretch);
      for (std::uint64_t first_item = 0; first_item < count; first_item += LOCKSTEP) {
        const std::uint64_t batch = std::min(LOCKSTEP, count - first_item);
        search_lockstep(part, u + first_item, batch, found + first_item);
        for (std::uint64_t i = first_item; i < first_item + batch; ++i) {
          found[i] += lo;
        }
      }
      return;
    }
    // Up to two sub-ranges per entry of the stretch, and 2^(bits + guide_bits) <= 2^53.
    const unsigned guide_bits =
        std::min({GUIDE_BITS, static_cast<unsigned>(std::bit_width(stretch)), 53 - bits_});
    const std::uint64_t ranges = std::uint64_t{1} << guide_bits;
    const std::uint64_t first_range = b << guide_bits;
    const double range_width = std::ldexp(1.0, -static_cast<int>(bits_ + guide_bits));
    const double range_scale = std::ldexp(1.0, static_cast<int>(bits_ + guide_bits));
    std::uint64_t j = lo;
    for (std::uint64_t r = 0; r < ranges; ++r) {
      const double edge = static_cast<double>(first_range + r) * range_width;
      while (j < hi && table_[j] <= edge) {
        ++j;
      }
      guide[r] = j;
    }
    guide[ranges] = hi;
    for (std::uint64_t k = 0; k < count; ++k) {
      const std::uint64_t r = static_cast<std::uint64_t>(u[k] * range_scale) - first_range;
      found[k] = count_not_above(guide[r], guide[r + 1], u[k]);
    }
  }

  std::span<const double> table_;
  unsigned bits_;
  // bounds_[b]: the number of entries <= b / 2^bits_.
  std::vector<std::uint64_t> bounds_;
  // Scratch of one search: bucket b's slots are [starts_[b], starts_[b + 1]).
  std::vector<std::uint64_t> starts_;
  std::vector<std::uint64_t> next_;
  std::vector<double> grouped_;
  std::vector<std::uint32_t> positions_;
  std::vector<std::uint64_t> found_;
};

// What is known of a table's order before it is searched.
enum class TableOrder {
  // Any table: its order is checked in one pass when that pays.
  Unknown,
  // A table of cumulative_probabilities: every probability is +0 or more, or NaN, so its sums
  // never decrease until a NaN, after which all are NaN.
  OfAmplitudes,
};

// Whether to search by buckets: when the search is a count of the leading entries (see
// search_counts_leading_entries), unless the check would cost more than searching the few
// uniforms one by one.
bool search_by_buckets(std::span<const double> cumulative, std::uint64_t items, TableOrder order) {
  if (cumulative.size() < 3) {
    return false;
  }
  if (order == TableOrder::OfAmplitudes) {
    return !std::isnan(cumulative[cumulative.size() - 2]);
  }
  if (items * 1024 < cumulative.size()) {
    return false;
  }
  return search_counts_leading_entries(cumulative);
}

// search_cumulative over one table for chunks of uniforms: by buckets (search_by_buckets), or
// one uniform at a time.
class ChunkSearch {
 public:
  // About `items` uniforms are searched per call.
  ChunkSearch(std::span<const double> cumulative, std::uint64_t items, TableOrder order)
      : cumulative_(cumulative) {
    if (search_by_buckets(cumulative, items, order)) {
      buckets_.emplace(cumulative.first(cumulative.size() - 1), items);
    }
  }

  bool counts_leading_entries() const { return buckets_.has_value(); }
  std::span<const double> leading() const { return cumulative_.first(cumulative_.size() - 1); }

  // found[i] = search_cumulative(cumulative, uniforms[i]). When the search counts, only the
  // uniforms in [0, 1) are written; the caller gives the others their values.
  void find(std::span<const double> uniforms, std::span<std::uint64_t> found) {
    if (!buckets_) {
      search_each(cumulative_, uniforms, found);
      return;
    }
    buckets_->search(uniforms, [&](const BucketSearch::Bucket& bucket) {
      for (std::size_t k = 0; k < bucket.positions.size(); ++k) {
        found[bucket.positions[k]] = bucket.found[k];
      }
    });
  }

  // The values of find for uniforms all in [0, 1), in some order: bucket after bucket when the
  // search counts (so that consecutive values are close), in the order of `uniforms` otherwise.
  std::span<const std::uint64_t> find_grouped(std::span<const double> uniforms) {
    return find_then(uniforms, [](const BucketSearch::Bucket&) {});
  }

  // The values of find for uniforms all in [0, 1), in increasing order.
  std::span<const std::uint64_t> find_sorted(std::span<const double> uniforms) {
    const auto found = find_then(uniforms, [](const BucketSearch::Bucket& bucket) {
      std::sort(bucket.found.begin(), bucket.found.end());
    });
    if (!buckets_) {
      std::sort(unordered_.begin(), unordered_.end());
    }
    // Buckets come in increasing order and the values of one bucket lie between its bounds,
    // the upper one being the next bucket's lower one: sorted buckets make a sorted whole.
    return found;
  }

 private:
  template <typename Done>
  std::span<std::uint64_t> find_then(std::span<const double> uniforms, const Done& done) {
    if (!buckets_) {
      resize_large(unordered_, uniforms.size());
      search_each(cumulative_, uniforms, unordered_);
      return unordered_;
    }
    buckets_->search(uniforms, done);
    return buckets_->found();
  }

  std::span<const double> cumulative_;
  std::optional<BucketSearch> buckets_;
  std::vector<std::uint64_t> unordered_;
};

void require_table(std::span<const double> cumulative) {
  if (cumulative.empty()) {
    core::abort_with(messages::EMPTY_CUMULATIVE_TABLE);
  }
}

void draw_uniforms(SampleRng& rng, std::span<double> uniforms) {
  for (double& u : uniforms) {
    u = uniform_from_draw(rng.next_u64());
  }
}

// The runs of equal values of `sorted`, in increasing order.
std::vector<IndexCount> tally_sorted(std::span<const std::uint64_t> sorted) {
  std::vector<IndexCount> tally;
  for (std::size_t i = 0; i < sorted.size();) {
    const std::size_t first = i;
    while (i < sorted.size() && sorted[i] == sorted[first]) {
      ++i;
    }
    tally.push_back(IndexCount{sorted[first], i - first});
  }
  return tally;
}

// From this many keys on, counts_from_tally inserts them in the order of their buckets.
constexpr std::size_t BUCKET_ORDER_MIN = std::size_t{1} << 16;
// Keys up to this width are hashed in a buffer on the stack; wider ones keep the index order.
constexpr std::uint64_t MAX_ORDERED_WIDTH = 128;
// 512 bucket heads (4 KiB of pointers) make one group.
constexpr unsigned BUCKET_GROUP_BITS = 9;

// The tally's entries in the order of the group of buckets their keys fall in: a map's buckets
// are an array indexed by a hash of the key, so keys inserted in index order touch it anywhere (a
// cache and TLB miss per key on a large map), while keys inserted group by group touch a few
// pages at a time, and the nodes, allocated in insertion order, are then also walked in about
// the order of their memory. The bucket of a key is taken to be its hash modulo the bucket
// count, as libstdc++ and libc++ map it (with a prime count); were it not, the order would only
// help less. Fewer than 2^32 entries, keys at most MAX_ORDERED_WIDTH wide.
std::vector<IndexCount> in_bucket_order(std::span<const IndexCount> tally, std::uint64_t width,
                                        std::size_t bucket_count) {
  std::vector<std::uint32_t> group;
  resize_large(group, tally.size());
  split_over_pool(
      tally.size(), tally.size(), PARALLEL_GRAIN, [&](std::uint64_t begin, std::uint64_t end) {
        std::array<char, MAX_ORDERED_WIDTH> key;
        const std::hash<std::string_view> hash;
        for (std::uint64_t i = begin; i < end; ++i) {
          write_key(key.data(), tally[i].index, width);
          const std::size_t bucket = hash(std::string_view(key.data(), width)) % bucket_count;
          group[i] = static_cast<std::uint32_t>(bucket >> BUCKET_GROUP_BITS);
        }
      });
  // A counting sort by group. The entries themselves are moved, so that the insertions read
  // them in order.
  std::vector<std::uint32_t> next((bucket_count >> BUCKET_GROUP_BITS) + 1, 0);
  for (const std::uint32_t g : group) {
    ++next[g];
  }
  std::uint32_t start = 0;
  for (std::uint32_t& n : next) {
    start += std::exchange(n, start);
  }
  std::vector<IndexCount> ordered;
  resize_large(ordered, tally.size());
  for (std::size_t i = 0; i < tally.size(); ++i) {
    ordered[next[group[i]]++] = tally[i];
  }
  return ordered;
}

}  // namespace

namespace {

std::vector<std::uint64_t> draw_indices(std::span<const double> cumulative, std::uint64_t shots,
                                        SampleRng& rng, TableOrder order) {
  require_table(cumulative);
  std::vector<std::uint64_t> indices;
  if (shots == 0) {
    return indices;
  }
  resize_large(indices, shots);
  ChunkSearch search(cumulative, std::min(shots, CHUNK), order);
  std::vector<double> uniforms;
  for (std::uint64_t done = 0; done < shots;) {
    const std::uint64_t count = std::min(CHUNK, shots - done);
    resize_large(uniforms, count);
    draw_uniforms(rng, uniforms);
    search.find(uniforms, std::span<std::uint64_t>(indices).subspan(done, count));
    done += count;
  }
  return indices;
}

std::vector<IndexCount> draw_tally(std::span<const double> cumulative, std::uint64_t shots,
                                   SampleRng& rng, TableOrder order) {
  require_table(cumulative);
  if (shots == 0) {
    return {};
  }
  const std::uint64_t outcomes = cumulative.size();
  std::vector<double> uniforms;
  if (shots < outcomes / 16 && shots <= CHUNK_LIMIT) {
    // Few shots for the outcomes: their indices, sorted. All the shots are searched at once, as
    // their scratch (about 28 bytes a shot) stays below the table's 8 bytes an outcome.
    ChunkSearch search(cumulative, shots, order);
    resize_large(uniforms, shots);
    draw_uniforms(rng, uniforms);
    return tally_sorted(search.find_sorted(uniforms));
  }
  // A counter per outcome.
  ChunkSearch search(cumulative, std::min(shots, CHUNK), order);
  std::vector<std::uint64_t> counters;
  resize_large(counters, outcomes);
  for (std::uint64_t done = 0; done < shots;) {
    const std::uint64_t count = std::min(CHUNK, shots - done);
    resize_large(uniforms, count);
    draw_uniforms(rng, uniforms);
    for (const std::uint64_t index : search.find_grouped(uniforms)) {
      ++counters[index];
    }
    done += count;
  }
  std::vector<IndexCount> tally;
  resize_large(tally, outcomes - static_cast<std::uint64_t>(std::count(
                                     counters.begin(), counters.end(), std::uint64_t{0})));
  auto entry = tally.begin();
  for (std::uint64_t index = 0; index < outcomes; ++index) {
    if (counters[index] != 0) {
      *entry++ = IndexCount{index, counters[index]};
    }
  }
  return tally;
}

}  // namespace

std::vector<std::uint64_t> sample_indices(std::span<const double> cumulative, std::uint64_t shots,
                                          SampleRng& rng) {
  return draw_indices(cumulative, shots, rng, TableOrder::Unknown);
}

template <typename T>
std::vector<std::uint64_t> sample_indices(const core::StateVector<T>& state, std::uint64_t shots,
                                          SampleRng& rng) {
  if (shots == 0) {
    return {};
  }
  return draw_indices(cumulative_probabilities(state), shots, rng, TableOrder::OfAmplitudes);
}

template std::vector<std::uint64_t> sample_indices<float>(const core::StateVector<float>&,
                                                          std::uint64_t, SampleRng&);
template std::vector<std::uint64_t> sample_indices<double>(const core::StateVector<double>&,
                                                           std::uint64_t, SampleRng&);

std::vector<IndexCount> sample_tally(std::span<const double> cumulative, std::uint64_t shots,
                                     SampleRng& rng) {
  return draw_tally(cumulative, shots, rng, TableOrder::Unknown);
}

Counts counts_from_tally(std::span<const IndexCount> tally, std::uint64_t width) {
  if (width > MAX_KEY_WIDTH) {
    core::abort_with(messages::KEY_TOO_WIDE);
  }
  Counts counts;
  counts.reserve(tally.size());
  std::string key(width, '0');
  const auto insert = [&](const IndexCount& entry) {
    write_key(key.data(), entry.index, width);
    counts.emplace(key, entry.shots);
  };
  if (tally.size() < BUCKET_ORDER_MIN || tally.size() > UINT32_MAX || width > MAX_ORDERED_WIDTH) {
    std::for_each(tally.begin(), tally.end(), insert);
  } else {
    const std::vector<IndexCount> ordered = in_bucket_order(tally, width, counts.bucket_count());
    std::for_each(ordered.begin(), ordered.end(), insert);
  }
  return counts;
}

std::vector<std::uint64_t> search_sorted(std::span<const double> cumulative,
                                         std::span<const double> uniforms) {
  require_table(cumulative);
  std::vector<std::uint64_t> found;
  resize_large(found, uniforms.size());
  ChunkSearch search(cumulative, std::min<std::uint64_t>(uniforms.size(), CHUNK),
                     TableOrder::Unknown);
  for (std::uint64_t done = 0; done < uniforms.size();) {
    const std::uint64_t count = std::min<std::uint64_t>(CHUNK, uniforms.size() - done);
    const auto part = uniforms.subspan(done, count);
    const auto out = std::span<std::uint64_t>(found).subspan(done, count);
    if (search.counts_leading_entries()) {
      // Outside [0, 1) the buckets do not apply: NaN fails every comparison of the search
      // (index 0); any other value is counted over the whole table.
      const auto leading = search.leading();
      for (std::uint64_t i = 0; i < count; ++i) {
        const double u = part[i];
        if (!in_unit_range(u)) {
          out[i] = std::isnan(u)
                       ? 0
                       : static_cast<std::uint64_t>(
                             std::upper_bound(leading.begin(), leading.end(), u) - leading.begin());
        }
      }
    }
    search.find(part, out);
    done += count;
  }
  return found;
}

template <typename T>
Counts sample_counts(const core::StateVector<T>& state, std::uint64_t shots, SampleRng& rng) {
  if (shots == 0) {
    return {};
  }
  const std::uint64_t width = state.num_qubits();
  if (width > MAX_KEY_WIDTH) {
    core::abort_with(messages::KEY_TOO_WIDE);
  }
  // Tallied by index first, so that each distinct key is written once.
  return counts_from_tally(
      draw_tally(cumulative_probabilities(state), shots, rng, TableOrder::OfAmplitudes), width);
}

template Counts sample_counts<float>(const core::StateVector<float>&, std::uint64_t, SampleRng&);
template Counts sample_counts<double>(const core::StateVector<double>&, std::uint64_t, SampleRng&);

}  // namespace vorn::sim
