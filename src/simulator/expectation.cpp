// Expectation values: the groups and their trees, the units' leaves and levels on the pool, and
// the combination of slices and terms.
#include "simulator/expectation.h"

#include <algorithm>
#include <bit>
#include <map>
#include <utility>

#include "core/abort.h"
#include "core/parallel.h"
#include "simulator/expectation_kernels.h"
#include "simulator/messages.h"

namespace vorn::sim {
namespace {

// A unit: the amplitudes whose leaves are taken to one node per class by one worker; two of
// them (a unit and its partner) stay in the level-2 cache while every group of a pass reads them.
constexpr unsigned UNIT_QUBITS = 14;

constexpr std::uint64_t low_bits(std::uint64_t n) {
  return n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
}

// One worker's buffers, grown to the largest group it meets.
struct Scratch {
  std::vector<double> leaves[2];
  std::vector<double> blocks[2];
};

// The nodes of one group over one unit (2^unit_qubits amplitudes at own; partner holds the
// amplitudes of the unit that the flips reach, the index within it flipped by unit_flip), one per
// class of the unit level, written to out[class * stride].
template <typename T>
void unit_nodes(const ExpectationPlan::Group& group, const BlockShape& shape, unsigned unit_qubits,
                const core::Complex<T>* own, const core::Complex<T>* partner,
                std::uint64_t unit_flip, Scratch& scratch, double* out, std::size_t stride) {
  const core::SignedTrees& trees = group.trees;
  const unsigned block_qubits = shape.block_qubits;
  const std::uint64_t block = std::uint64_t{1} << block_qubits;
  const std::uint64_t blocks = std::uint64_t{1} << (unit_qubits - block_qubits);
  for (int k = 0; k < 2; ++k) {
    scratch.leaves[k].resize(
        std::max(scratch.leaves[k].size(), trees.buffer_size(0, block_qubits, block)));
    scratch.blocks[k].resize(
        std::max(scratch.blocks[k].size(), trees.buffer_size(block_qubits, unit_qubits, blocks)));
  }
  const BlockFunction<T> block_nodes = active_block_kernels().get<T>();
  const std::size_t block_classes = trees.classes(block_qubits);
  for (std::uint64_t j = 0; j < blocks; ++j) {
    const double* nodes =
        block_nodes(shape, own + (j << block_qubits),
                    partner + ((j ^ (unit_flip >> block_qubits)) << block_qubits),
                    unit_flip & (block - 1), scratch.leaves[0].data(), scratch.leaves[1].data());
    for (std::size_t c = 0; c < block_classes; ++c) {
      scratch.blocks[0][c * blocks + j] = nodes[c];
    }
  }
  const double* nodes = trees.reduce(block_qubits, unit_qubits, blocks, scratch.blocks[0].data(),
                                     scratch.blocks[1].data());
  for (std::size_t c = 0; c < trees.classes(unit_qubits); ++c) {
    out[c * stride] = nodes[c];
  }
}

}  // namespace

ExpectationPlan::ExpectationPlan(std::span<const PauliSum> sums, std::uint64_t n_qubits,
                                 std::uint64_t slice_qubits)
    : n_qubits_(n_qubits), slice_qubits_(slice_qubits) {
  if (slice_qubits > n_qubits || n_qubits >= 64) {
    core::abort_with(messages::slice_qubits_out_of_range(slice_qubits, n_qubits));
  }
  // The groups in the order their flip masks first appear, each string's entry in the order its
  // z mask first appears in the group.
  std::map<std::uint64_t, std::size_t> group_of;
  std::vector<std::uint64_t> x_masks;
  std::vector<std::vector<std::uint64_t>> z_masks;
  std::vector<std::map<std::uint64_t, std::size_t>> entry_of;
  for (const PauliSum& sum : sums) {
    if (sum.width() > n_qubits) {
      core::abort_with(messages::observable_wider_than_state(sum.width(), n_qubits));
    }
    for (const PauliTerm& term : sum.terms) {
      const auto [group, fresh] = group_of.emplace(term.x_mask, x_masks.size());
      if (fresh) {
        x_masks.push_back(term.x_mask);
        z_masks.emplace_back();
        entry_of.emplace_back();
      }
      const auto [entry, new_z] =
          entry_of[group->second].emplace(term.z_mask, z_masks[group->second].size());
      if (new_z) {
        z_masks[group->second].push_back(term.z_mask);
      }
    }
  }
  std::vector<std::size_t> first_partial(x_masks.size());
  for (std::size_t g = 0; g < x_masks.size(); ++g) {
    std::vector<core::SignedSum> trees;
    for (const std::uint64_t z : z_masks[g]) {
      trees.push_back({static_cast<unsigned>(std::popcount(x_masks[g] & z) & 1), z});
    }
    first_partial[g] = partial_masks_.size();
    partial_masks_.insert(partial_masks_.end(), z_masks[g].begin(), z_masks[g].end());
    groups_.push_back({x_masks[g], z_masks[g],
                       core::SignedTrees(trees, static_cast<unsigned>(slice_qubits)),
                       first_partial[g]});
  }
  for (const PauliSum& sum : sums) {
    std::vector<Use> uses;
    for (const PauliTerm& term : sum.terms) {
      const std::size_t g = group_of.at(term.x_mask);
      uses.push_back({term.coefficient, first_partial[g] + entry_of[g].at(term.z_mask),
                      term.y_count() % 4 >= 2});
    }
    sums_.push_back(std::move(uses));
  }
}

std::vector<double> ExpectationPlan::combine(std::span<const double> partials) const {
  const std::uint64_t slices = std::uint64_t{1} << (n_qubits_ - slice_qubits_);
  const std::size_t count = partial_count();
  if (partials.size() != slices * count) {
    core::abort_with(messages::wrong_length("contributions", partials.size(), slices * count));
  }
  std::vector<double> strings(count);
  std::vector<double> across(slices);
  for (std::size_t p = 0; p < count; ++p) {
    for (std::uint64_t r = 0; r < slices; ++r) {
      across[r] = partials[r * count + p];
    }
    strings[p] = core::signed_sum_in_place(across, partial_masks_[p] >> slice_qubits_);
  }
  std::vector<double> values;
  values.reserve(sums_.size());
  for (const std::vector<Use>& uses : sums_) {
    double value = 0.0;
    for (std::size_t t = 0; t < uses.size(); ++t) {
      const double string = uses[t].negate ? -strings[uses[t].partial] : strings[uses[t].partial];
      const double term = uses[t].coefficient * string;
      value = t == 0 ? term : value + term;
    }
    values.push_back(value);
  }
  return values;
}

SliceSums::SliceSums(const ExpectationPlan& plan, std::uint64_t chunk_qubits)
    : plan_(plan),
      unit_qubits_(
          static_cast<unsigned>(std::min<std::uint64_t>(UNIT_QUBITS, plan.slice_qubits()))),
      chunk_qubits_(static_cast<unsigned>(chunk_qubits)),
      unit_nodes_(plan.groups().size()),
      units_done_(plan.groups().size(), 0) {
  const std::uint64_t slice_qubits = plan.slice_qubits();
  if (chunk_qubits < unit_qubits_ || chunk_qubits > slice_qubits) {
    core::abort_with(messages::chunk_qubits_out_of_range(chunk_qubits, unit_qubits_, slice_qubits));
  }
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::size_t> pass_of;
  const std::uint64_t units = std::uint64_t{1} << (slice_qubits - unit_qubits_);
  for (std::size_t g = 0; g < plan.groups().size(); ++g) {
    const ExpectationPlan::Group& group = plan.groups()[g];
    unit_nodes_[g].assign(group.trees.classes(unit_qubits_) * units, 0.0);
    BlockShape shape{std::min(core::REDUCE_BLOCK_QUBITS, unit_qubits_), -1, -1,
                     group.trees.level_data()};
    for (std::size_t c = 0; c < group.trees.sources().size(); ++c) {
      (group.trees.sources()[c] == 0 ? shape.re_row : shape.im_row) = static_cast<int>(c);
    }
    shapes_.push_back(shape);
    const std::uint64_t slice_flip = group.x_mask >> slice_qubits;
    if (slice_flip == 0) {
      local_groups_.push_back(g);
      continue;
    }
    const std::uint64_t chunk_flip = (group.x_mask & low_bits(slice_qubits)) >> chunk_qubits;
    const auto [pass, fresh] = pass_of.emplace(std::pair{slice_flip, chunk_flip}, passes_.size());
    if (fresh) {
      passes_.push_back({slice_flip, chunk_flip});
      pass_groups_.emplace_back();
    }
    pass_groups_[pass->second].push_back(g);
  }
}

template <typename T>
void SliceSums::add_local(std::span<const core::Complex<T>> slice) {
  const std::uint64_t slice_qubits = plan_.slice_qubits();
  if (slice.size() != (std::uint64_t{1} << slice_qubits)) {
    core::abort_with(
        messages::wrong_length("a slice", slice.size(), std::uint64_t{1} << slice_qubits));
  }
  const unsigned u = unit_qubits_;
  const std::uint64_t units = std::uint64_t{1} << (slice_qubits - u);
  const auto& groups = plan_.groups();
  // Groups that flip the same units read them together: those whose flips stay inside a unit
  // (family 0) unit by unit, the others a unit and its partner at once.
  std::map<std::uint64_t, std::vector<std::size_t>> families;
  for (const std::size_t g : local_groups_) {
    families[groups[g].x_mask >> u].push_back(g);
  }
  const core::Complex<T>* data = slice.data();
  for (const auto& entry : families) {
    const std::uint64_t family = entry.first;
    const std::vector<std::size_t>& members = entry.second;
    // A pair's first unit has 0 at the family's highest bit; family 0 pairs a unit with itself.
    const unsigned top = family == 0 ? 0 : static_cast<unsigned>(std::bit_width(family) - 1);
    const std::uint64_t firsts = family == 0 ? units : units / 2;
    core::parallel_for(0, firsts, 1, [&](std::uint64_t begin, std::uint64_t end) {
      Scratch scratch;
      for (std::uint64_t k = begin; k < end; ++k) {
        const std::uint64_t first =
            family == 0 ? k : ((k >> top) << (top + 1)) | (k & low_bits(top));
        const std::uint64_t second = first ^ family;
        for (const std::size_t g : members) {
          const std::uint64_t unit_flip = groups[g].x_mask & low_bits(u);
          unit_nodes(groups[g], shapes_[g], u, data + (first << u), data + (second << u), unit_flip,
                     scratch, unit_nodes_[g].data() + first, units);
          if (second != first) {
            unit_nodes(groups[g], shapes_[g], u, data + (second << u), data + (first << u),
                       unit_flip, scratch, unit_nodes_[g].data() + second, units);
          }
        }
      }
    });
  }
  for (const std::size_t g : local_groups_) {
    units_done_[g] = units;
  }
}

template <typename T>
void SliceSums::add_remote(std::size_t pass, std::uint64_t chunk,
                           std::span<const core::Complex<T>> own,
                           std::span<const core::Complex<T>> partner) {
  const std::uint64_t chunk_size = std::uint64_t{1} << chunk_qubits_;
  if (own.size() != chunk_size || partner.size() != chunk_size) {
    core::abort_with(
        messages::wrong_length("a chunk", std::max(own.size(), partner.size()), chunk_size));
  }
  const unsigned u = unit_qubits_;
  const std::uint64_t units = std::uint64_t{1} << (plan_.slice_qubits() - u);
  const std::uint64_t chunk_units = std::uint64_t{1} << (chunk_qubits_ - u);
  const auto& groups = plan_.groups();
  const std::vector<std::size_t>& members = pass_groups_.at(pass);
  core::parallel_for(0, chunk_units, 1, [&](std::uint64_t begin, std::uint64_t end) {
    Scratch scratch;
    for (std::uint64_t k = begin; k < end; ++k) {
      const std::uint64_t unit = (chunk << (chunk_qubits_ - u)) + k;
      for (const std::size_t g : members) {
        const std::uint64_t chunk_flip = groups[g].x_mask & low_bits(chunk_qubits_);
        const std::uint64_t partner_unit = k ^ (chunk_flip >> u);
        unit_nodes(groups[g], shapes_[g], u, own.data() + (k << u),
                   partner.data() + (partner_unit << u), chunk_flip & low_bits(u), scratch,
                   unit_nodes_[g].data() + unit, units);
      }
    }
  });
  for (const std::size_t g : members) {
    units_done_[g] += chunk_units;
  }
}

std::vector<double> SliceSums::partials() const {
  const unsigned slice_qubits = static_cast<unsigned>(plan_.slice_qubits());
  const std::uint64_t units = std::uint64_t{1} << (slice_qubits - unit_qubits_);
  std::vector<double> partials(plan_.partial_count());
  for (std::size_t g = 0; g < plan_.groups().size(); ++g) {
    if (units_done_[g] != units) {
      core::abort_with(messages::CONTRIBUTION_INCOMPLETE);
    }
    const ExpectationPlan::Group& group = plan_.groups()[g];
    const std::size_t size = group.trees.buffer_size(unit_qubits_, slice_qubits, units);
    std::vector<double> a(size);
    std::vector<double> b(size);
    std::copy(unit_nodes_[g].begin(), unit_nodes_[g].end(), a.begin());
    const double* nodes = group.trees.reduce(unit_qubits_, slice_qubits, units, a.data(), b.data());
    for (std::size_t e = 0; e < group.z_masks.size(); ++e) {
      partials[group.first_partial + e] = nodes[group.trees.class_of(e, slice_qubits)];
    }
  }
  return partials;
}

template <typename T>
std::vector<double> expectations(std::span<const core::Complex<T>> state,
                                 std::span<const PauliSum> sums) {
  if (!std::has_single_bit(state.size())) {
    core::abort_with(messages::state_length_not_power_of_two(state.size()));
  }
  const auto n_qubits = static_cast<std::uint64_t>(std::countr_zero(state.size()));
  const ExpectationPlan plan(sums, n_qubits, n_qubits);
  SliceSums slice(plan, n_qubits);
  slice.add_local(state);
  return plan.combine(slice.partials());
}

template <typename T>
double expectation(std::span<const core::Complex<T>> state, const PauliSum& sum) {
  return expectations(state, std::span<const PauliSum>(&sum, 1))[0];
}

template double expectation<float>(std::span<const core::Complex<float>>, const PauliSum&);
template double expectation<double>(std::span<const core::Complex<double>>, const PauliSum&);
template std::vector<double> expectations<float>(std::span<const core::Complex<float>>,
                                                 std::span<const PauliSum>);
template std::vector<double> expectations<double>(std::span<const core::Complex<double>>,
                                                  std::span<const PauliSum>);
template void SliceSums::add_local<float>(std::span<const core::Complex<float>>);
template void SliceSums::add_local<double>(std::span<const core::Complex<double>>);
template void SliceSums::add_remote<float>(std::size_t, std::uint64_t,
                                           std::span<const core::Complex<float>>,
                                           std::span<const core::Complex<float>>);
template void SliceSums::add_remote<double>(std::size_t, std::uint64_t,
                                            std::span<const core::Complex<double>>,
                                            std::span<const core::Complex<double>>);

}  // namespace vorn::sim
