// One standard .npy file (NumPy format 1.0) written by all ranks at once through MPI-IO: rank 0
// writes the header, each rank its slice at its own offset, so the whole array never passes
// through one rank's memory. The file is written under a temporary name beside it and renamed
// once every rank has written its part, so that a file of the requested name is complete: a
// failed write removes the temporary file, and a job that dies leaves at most that file.
#pragma once

#include <mpi.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/complex.h"
#include "mpi/distributed.h"

namespace vorn::mpi {

// The NumPy type text of the arrays run() returns: '<c8' / '<c16' for amplitudes, '<f4' / '<f8'
// for probabilities.
template <typename T>
std::string_view amplitude_descr();
template <typename T>
std::string_view probability_descr();

// The format 1.0 header of a one-dimensional C-ordered array: magic, version, header length and
// the dictionary, padded with spaces and a final newline to a multiple of 64 bytes.
std::string npy_header(std::string_view descr, std::uint64_t length);

class NpyWriter {
 public:
  // Creates the temporary file (PATH.partial-PID, PID rank 0's process id) on every rank, after
  // checking on rank 0 that PATH is not a folder nor a file it may not write. Collective; on
  // failure every rank gets the same error text and nothing stays open or behind.
  static std::optional<std::string> open(const std::string& path, const Ranks& ranks,
                                         NpyWriter& out);
  NpyWriter() = default;
  NpyWriter(const NpyWriter&) = delete;
  NpyWriter& operator=(const NpyWriter&) = delete;
  ~NpyWriter();

  // The amplitudes, element i of the array being global index i, then the rename to the
  // requested name. Collective.
  template <typename T>
  std::optional<std::string> write_amplitudes(std::span<const core::Complex<T>> slice);
  // re^2 + im^2 of each amplitude, formed in T as run()'s probabilities() forms them.
  // Collective.
  template <typename T>
  std::optional<std::string> write_probabilities(std::span<const core::Complex<T>> slice);

 private:
  template <typename Element, typename Fill>
  std::optional<std::string> write(std::string_view descr, std::uint64_t count, Fill fill);
  // Closes the file and removes the temporary file, when there is one. Collective.
  void abandon();

  MPI_File file_ = MPI_FILE_NULL;
  Ranks ranks_{};
  std::string path_;
  std::string temporary_;
};

}  // namespace vorn::mpi
