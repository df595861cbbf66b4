// The reader of observables: sparse text and single labels, one fault at a time.
#include "simulator/observable.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <system_error>

#include "simulator/messages.h"

namespace vorn::sim {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_pauli(char c) { return c == 'I' || c == 'X' || c == 'Y' || c == 'Z'; }
bool starts_number(char c) { return is_digit(c) || c == '.'; }

// The length of the longest prefix of text that reads as a decimal number: digits with at most
// one point and at least one digit, then optionally e or E, an optional sign and digits.
std::size_t number_prefix(std::string_view text) {
  std::size_t i = 0;
  std::size_t digits = 0;
  while (i < text.size() && is_digit(text[i])) {
    ++i;
    ++digits;
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && is_digit(text[i])) {
      ++i;
      ++digits;
    }
  }
  if (digits == 0) {
    return 0;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) {
      ++j;
    }
    if (j < text.size() && is_digit(text[j])) {
      while (j < text.size() && is_digit(text[j])) {
        ++j;
      }
      i = j;
    }
  }
  return i;
}

class Reader {
 public:
  Reader(std::string_view text, std::uint64_t n_qubits, std::string_view kind)
      : text_(text), n_qubits_(n_qubits), kind_(kind) {}

  Parsed<PauliSum> sum() {
    PauliSum sum;
    std::size_t pos = skip_blanks(0);
    if (pos == text_.size()) {
      return Parsed<PauliSum>::failure(messages::EMPTY_OBSERVABLE);
    }
    while (true) {
      double sign = 1.0;
      if (text_[pos] == '+' || text_[pos] == '-') {
        sign = text_[pos] == '-' ? -1.0 : 1.0;
        pos = skip_blanks(pos + 1);
      }
      start_ = pos;
      // A second sign belongs to the coefficient: "+ -0.5*Z0".
      const bool at_sign = pos < text_.size() && (text_[pos] == '+' || text_[pos] == '-');
      const bool signed_number = at_sign && pos + 1 < text_.size() && starts_number(text_[pos + 1]);
      if (pos == text_.size() || (at_sign && !signed_number)) {
        return Parsed<PauliSum>::failure(messages::missing_term(position(pos)));
      }
      PauliTerm term;
      term.coefficient = sign;
      bool empty = true;
      if (starts_number(text_[pos]) || signed_number) {
        const std::size_t end = word_end(pos);
        std::optional<double> value;
        if (auto error = number(pos, end, value)) {
          return Parsed<PauliSum>::failure(std::move(*error));
        }
        term.coefficient = sign * *value;
        empty = false;
        pos = skip_blanks(end);
        if (pos < text_.size() && text_[pos] == '*') {
          pos = skip_blanks(pos + 1);
          if (pos == text_.size() || !is_letter(text_[pos])) {
            return Parsed<PauliSum>::failure(fault(messages::FACTOR_AFTER_STAR, pos));
          }
        }
      }
      std::uint64_t named = 0;
      while (pos < text_.size() && is_letter(text_[pos])) {
        const std::size_t end = word_end(pos);
        if (auto error = factor(pos, end, term, named)) {
          return Parsed<PauliSum>::failure(std::move(*error));
        }
        empty = false;
        pos = skip_blanks(end);
      }
      if (empty) {
        return Parsed<PauliSum>::failure(
            fault(messages::unexpected_character(character(pos)), pos));
      }
      sum.terms.push_back(term);
      if (pos == text_.size()) {
        return sum;
      }
      if (starts_number(text_[pos])) {
        return Parsed<PauliSum>::failure(fault(messages::SIGN_BETWEEN_TERMS, pos));
      }
      if (text_[pos] != '+' && text_[pos] != '-') {
        return Parsed<PauliSum>::failure(
            fault(messages::unexpected_character(character(pos)), pos));
      }
    }
  }

  Parsed<PauliTerm> label(double coefficient) {
    std::size_t pos = skip_blanks(0);
    if (pos == text_.size()) {
      return Parsed<PauliTerm>::failure(messages::EMPTY_LABEL);
    }
    start_ = 0;
    PauliTerm term;
    term.coefficient = coefficient;
    std::uint64_t named = 0;
    while (pos < text_.size()) {
      const std::size_t end = word_end(pos);
      if (is_letter(text_[pos])) {
        if (auto error = factor(pos, end, term, named)) {
          return Parsed<PauliTerm>::failure(std::move(*error));
        }
      } else if (number_prefix(text_.substr(pos + (text_[pos] == '+' || text_[pos] == '-'))) > 0) {
        return Parsed<PauliTerm>::failure(
            fault(messages::number_in_label(text_.substr(pos, end - pos)), pos));
      } else {
        return Parsed<PauliTerm>::failure(
            fault(messages::unexpected_character(character(pos)), pos));
      }
      pos = skip_blanks(end);
    }
    if (!std::isfinite(coefficient)) {
      return Parsed<PauliTerm>::failure(
          messages::coefficient_not_finite(std::to_string(coefficient), text_));
    }
    return term;
  }

 private:
  std::size_t skip_blanks(std::size_t pos) const {
    while (pos < text_.size() && is_blank(text_[pos])) {
      ++pos;
    }
    return pos;
  }

  // The end of the word at pos: letters, digits and points, a leading sign, and a sign right
  // after the e of a number's exponent.
  std::size_t word_end(std::size_t pos) const {
    std::size_t end = pos;
    if (end < text_.size() && (text_[end] == '+' || text_[end] == '-')) {
      ++end;
    }
    while (end < text_.size()) {
      const char c = text_[end];
      const bool exponent_sign = (c == '+' || c == '-') && end > pos + 1 &&
                                 (text_[end - 1] == 'e' || text_[end - 1] == 'E') &&
                                 starts_number(text_[end - 2]);
      if (!(is_letter(c) || is_digit(c) || c == '.' || exponent_sign)) {
        break;
      }
      ++end;
    }
    return end;
  }

  // The character position (UTF-8 characters, not bytes) of the byte offset pos.
  std::uint64_t position(std::size_t pos) const {
    return static_cast<std::uint64_t>(
        std::count_if(text_.begin(), text_.begin() + static_cast<std::ptrdiff_t>(pos),
                      [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
  }

  // The whole UTF-8 character at pos.
  std::string_view character(std::size_t pos) const {
    std::size_t end = pos + 1;
    while (end < text_.size() && (static_cast<unsigned char>(text_[end]) & 0xC0) == 0x80) {
      ++end;
    }
    return text_.substr(pos, end - pos);
  }

  // The current piece as written: for a term, up to the sign that starts the next term.
  std::string_view piece() const {
    if (kind_ != "term") {
      return text_;
    }
    std::size_t end = start_;
    while (end < text_.size()) {
      const char c = text_[end];
      const bool exponent_sign = end >= start_ + 2 &&
                                 (text_[end - 1] == 'e' || text_[end - 1] == 'E') &&
                                 starts_number(text_[end - 2]);
      if ((c == '+' || c == '-') && end > start_ && !exponent_sign) {
        break;
      }
      ++end;
    }
    while (end > start_ && is_blank(text_[end - 1])) {
      --end;
    }
    return text_.substr(start_, end - start_);
  }

  std::string fault(std::string_view what, std::size_t pos) const {
    return messages::observable_fault(what, kind_, piece(), position(pos));
  }

  // Reads the number text_[pos, end) (a sign allowed) into value.
  std::optional<std::string> number(std::size_t pos, std::size_t end,
                                    std::optional<double>& value) const {
    const std::string_view word = text_.substr(pos, end - pos);
    const bool negative = word[0] == '-';
    const std::string_view digits = word.substr(word[0] == '+' || word[0] == '-' ? 1 : 0);
    const std::size_t length = number_prefix(digits);
    if (length == 0 || length != digits.size()) {
      const bool imaginary = length > 0 && length + 1 == digits.size() &&
                             (digits.back() == 'j' || digits.back() == 'J');
      return fault(
          imaginary ? messages::complex_coefficient(word) : messages::malformed_number(word), pos);
    }
    double parsed = 0.0;
    const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), parsed,
                                           std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
      return fault(messages::number_out_of_range(word), pos);
    }
    if (ec != std::errc() || ptr != digits.data() + digits.size()) {
      return fault(messages::malformed_number(word), pos);
    }
    value = negative ? -parsed : parsed;
    return std::nullopt;
  }

  // Reads the factor word text_[pos, end) into term; named holds the qubits the term named.
  std::optional<std::string> factor(std::size_t pos, std::size_t end, PauliTerm& term,
                                    std::uint64_t& named) const {
    const std::string_view word = text_.substr(pos, end - pos);
    if (!is_pauli(word[0])) {
      return fault(messages::unknown_pauli_letter(character(pos)), pos);
    }
    if (word.size() > 1 && is_digit(word[1])) {
      const std::string_view index = word.substr(1);
      if (!std::all_of(index.begin(), index.end(), is_digit)) {
        return fault(messages::malformed_factor(word), pos);
      }
      std::uint64_t qubit = 0;
      const auto [ptr, ec] = std::from_chars(index.data(), index.data() + index.size(), qubit);
      const bool overflow = ec != std::errc() || ptr != index.data() + index.size();
      return add(word[0], overflow, qubit, index, pos, term, named);
    }
    if (!std::all_of(word.begin(), word.end(), is_letter)) {
      return fault(messages::malformed_factor(word), pos);
    }
    for (std::size_t k = 0; k < word.size(); ++k) {
      if (!is_pauli(word[k])) {
        return fault(messages::unknown_pauli_letter(character(pos + k)), pos + k);
      }
    }
    // Dense: the rightmost letter is qubit 0.
    for (std::size_t k = 0; k < word.size(); ++k) {
      const std::uint64_t qubit = word.size() - 1 - k;
      if (auto error = add(word[k], false, qubit, std::to_string(qubit), pos + k, term, named)) {
        return error;
      }
    }
    return std::nullopt;
  }

  // Adds letter on qubit (written as index; overflow: beyond 64 bits) at pos to term.
  std::optional<std::string> add(char letter, bool overflow, std::uint64_t qubit,
                                 std::string_view index, std::size_t pos, PauliTerm& term,
                                 std::uint64_t& named) const {
    if (overflow || qubit >= n_qubits_) {
      return fault(messages::observable_qubit_out_of_range(index, n_qubits_), pos);
    }
    if (qubit >= OBSERVABLE_MAX_QUBITS) {
      return fault(messages::observable_qubit_beyond_masks(index), pos);
    }
    const std::uint64_t bit = std::uint64_t{1} << qubit;
    if ((named & bit) != 0) {
      return fault(messages::repeated_qubit(qubit), pos);
    }
    named |= bit;
    if (letter == 'X' || letter == 'Y') {
      term.x_mask |= bit;
    }
    if (letter == 'Z' || letter == 'Y') {
      term.z_mask |= bit;
    }
    return std::nullopt;
  }

  std::string_view text_;
  std::uint64_t n_qubits_;
  std::string_view kind_;
  std::size_t start_ = 0;  // the current term's first byte
};

}  // namespace

std::uint64_t PauliSum::width() const {
  std::uint64_t width = 0;
  for (const PauliTerm& term : terms) {
    width = std::max<std::uint64_t>(width, 64 - std::countl_zero(term.x_mask | term.z_mask));
  }
  return width;
}

Parsed<PauliSum> parse_observable(std::string_view text, std::uint64_t n_qubits) {
  return Reader(text, n_qubits, "term").sum();
}

Parsed<PauliTerm> parse_label(std::string_view label, double coefficient, std::uint64_t n_qubits) {
  return Reader(label, n_qubits, "label").label(coefficient);
}

std::string pauli_label(const PauliTerm& term) {
  std::string label;
  for (std::uint64_t qubit = 0; qubit < OBSERVABLE_MAX_QUBITS; ++qubit) {
    const bool x = ((term.x_mask >> qubit) & 1) != 0;
    const bool z = ((term.z_mask >> qubit) & 1) != 0;
    if (x || z) {
      if (!label.empty()) {
        label.push_back(' ');
      }
      label.push_back(x ? (z ? 'Y' : 'X') : 'Z');
      label.append(std::to_string(qubit));
    }
  }
  return label.empty() ? "I" : label;
}

}  // namespace vorn::sim
