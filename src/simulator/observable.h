// Observables: real-weighted sums of Pauli strings, and the reader of their text.
//
// Text (the sparse form): terms joined by + or -, each an optional real coefficient (followed by
// '*' or a blank) and then factors separated by blanks, every factor a letter I, X, Y or Z with
// its qubit index: "0.5*Z0 Z1 - 1.25*X2 + Y3". A term of only a number is a constant (the
// identity times it); the first term may carry a sign, and a coefficient may carry its own
// ("+ -0.5*Z0"). A factor may also be a dense label, one letter per qubit with the rightmost
// letter on qubit 0: "0.5*XZI" is 0.5*X2 Z1. Letters are upper case; the blanks are space, tab,
// carriage return and line feed.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vorn::sim {

// Qubits an observable can address: its masks are 64-bit words.
inline constexpr std::uint64_t OBSERVABLE_MAX_QUBITS = 64;

// coefficient * P with P the tensor product of one Pauli matrix per qubit: bit q of x_mask is set
// when the factor on qubit q is X or Y, bit q of z_mask when it is Z or Y (I: neither). Since
// Y = i X Z, P = i^y X^x Z^z with y the number of Y factors.
struct PauliTerm {
  double coefficient = 1.0;
  std::uint64_t x_mask = 0;
  std::uint64_t z_mask = 0;

  unsigned y_count() const { return static_cast<unsigned>(std::popcount(x_mask & z_mask)); }
  friend bool operator==(const PauliTerm&, const PauliTerm&) = default;
};

struct PauliSum {
  // In the order of the text; equal strings are kept apart, not merged.
  std::vector<PauliTerm> terms;

  // One more than the highest qubit on which a term acts as X, Y or Z (0 for constants only).
  std::uint64_t width() const;
};

// The reader's outcome: the value, or the message of the first fault.
template <typename T>
class [[nodiscard]] Parsed {
 public:
  Parsed(T value) : data_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit
  static Parsed failure(std::string message) {
    return Parsed(std::in_place_index<1>, std::move(message));
  }

  bool ok() const { return data_.index() == 0; }
  const T& value() const& { return std::get<0>(data_); }
  T&& value() && { return std::get<0>(std::move(data_)); }
  const std::string& error() const { return std::get<1>(data_); }

 private:
  template <std::size_t I, typename V>
  Parsed(std::in_place_index_t<I> index, V&& value) : data_(index, std::forward<V>(value)) {}
  std::variant<T, std::string> data_;
};

// Reads the sparse text of a sum for a program of n_qubits qubits. Refused, with a message that
// names the term and the 0-based character position in text: an empty text, an unknown letter,
// a malformed number, a complex coefficient ("1j"), a factor that is neither a letter with an
// index nor a dense label, a qubit index at or above n_qubits (or above 63), a qubit named twice
// in one term, and anything else out of place.
Parsed<PauliSum> parse_observable(std::string_view text, std::uint64_t n_qubits);

// Reads one label, dense ("XZI") or sparse ("X2 Z1"), as a term with the given coefficient.
// Refused as in parse_observable (the message names the label), and besides: a label holding a
// number or a sign, an empty label, and a coefficient that is not finite.
Parsed<PauliTerm> parse_label(std::string_view label, double coefficient, std::uint64_t n_qubits);

// The sparse label of a term's string, factors in increasing qubit order ("Z0 X2"), "I" for the
// identity; the coefficient is not written.
std::string pauli_label(const PauliTerm& term);

}  // namespace vorn::sim
