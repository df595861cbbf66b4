// The .npy header and the collective writes.
#include "mpi/npy.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "mpi/faults.h"

namespace vorn::mpi {
namespace {

constexpr std::size_t kAlignment = 64;
constexpr std::uint64_t kWriteChunkBytes = std::uint64_t{16} << 20;

std::string error_text(int code) {
  char text[MPI_MAX_ERROR_STRING];
  int length = 0;
  MPI_Error_string(code, text, &length);
  return std::string(text, static_cast<std::size_t>(length));
}

std::optional<std::string> agree_text(std::optional<std::string> local, const Ranks& ranks) {
  std::optional<RankError> error = agree(std::move(local), ranks);
  if (!error) {
    return std::nullopt;
  }
  return std::move(error->message);
}

}  // namespace

template <>
std::string_view amplitude_descr<float>() {
  return "<c8";
}
template <>
std::string_view amplitude_descr<double>() {
  return "<c16";
}
template <>
std::string_view probability_descr<float>() {
  return "<f4";
}
template <>
std::string_view probability_descr<double>() {
  return "<f8";
}

std::string npy_header(std::string_view descr, std::uint64_t length) {
  std::string dict = "{'descr': '" + std::string(descr) + "', 'fortran_order': False, 'shape': (" +
                     std::to_string(length) + ",), }";
  // magic (6) + version (2) + header length (2) + dictionary + padding + '\n'
  const std::size_t unpadded = 10 + dict.size() + 1;
  dict.append((kAlignment - unpadded % kAlignment) % kAlignment, ' ');
  dict.push_back('\n');
  std::string header = "\x93NUMPY";
  header.push_back('\x01');
  header.push_back('\x00');
  header.push_back(static_cast<char>(dict.size() & 0xff));
  header.push_back(static_cast<char>(dict.size() >> 8));
  return header + dict;
}

namespace {

// Why rank 0 may not replace `path` by a renamed file, if it may not: a folder, or a file this
// process may not write (the rename would replace it all the same).
std::optional<std::string> refuse_target(const std::string& path) {
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(path, ec);
  if (std::filesystem::is_directory(status)) {
    return std::strerror(EISDIR);
  }
  if (std::filesystem::exists(status) && ::access(path.c_str(), W_OK) != 0) {
    return std::strerror(errno);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> NpyWriter::open(const std::string& path, const Ranks& ranks,
                                           NpyWriter& out) {
  out.abandon();
  out.ranks_ = ranks;
  out.path_ = path;
  std::optional<std::string> error;
  long long pid = 0;
  if (ranks.rank == 0) {
    error = refuse_target(path);
    pid = static_cast<long long>(::getpid());
  }
  if (auto refused = agree_text(error, ranks)) {
    return "cannot write " + path + ": " + *refused;
  }
  MPI_Bcast(&pid, 1, MPI_LONG_LONG, 0, ranks.comm);
  const std::string temporary = path + ".partial-" + std::to_string(pid);
  MPI_File file = MPI_FILE_NULL;
  int code = MPI_File_open(ranks.comm, temporary.c_str(), MPI_MODE_CREATE | MPI_MODE_WRONLY,
                           MPI_INFO_NULL, &file);
  if (code != MPI_SUCCESS) {
    error = error_text(code);
    file = MPI_FILE_NULL;
  }
  error = agree_text(error, ranks);
  if (file != MPI_FILE_NULL) {
    out.file_ = file;
    out.temporary_ = temporary;
  }
  if (!error) {
    // A file left by an earlier job of the same process id would keep its tail otherwise.
    code = MPI_File_set_size(file, 0);
    error = agree_text(code == MPI_SUCCESS ? std::nullopt : std::optional(error_text(code)), ranks);
  }
  if (error) {
    out.abandon();
    return "cannot write " + path + ": " + *error;
  }
  return std::nullopt;
}

NpyWriter::~NpyWriter() { abandon(); }

void NpyWriter::abandon() {
  if (file_ != MPI_FILE_NULL) {
    MPI_File_close(&file_);
    if (ranks_.rank == 0 && !temporary_.empty()) {
      std::remove(temporary_.c_str());
    }
  }
  temporary_.clear();
}

template <typename Element, typename Fill>
std::optional<std::string> NpyWriter::write(std::string_view descr, std::uint64_t count,
                                            Fill fill) {
  const std::string header = npy_header(descr, count << ranks_.global_qubits);
  std::optional<std::string> error;
  if (ranks_.rank == 0) {
    const int code = MPI_File_write_at(file_, 0, header.data(), static_cast<int>(header.size()),
                                       MPI_BYTE, MPI_STATUS_IGNORE);
    if (code != MPI_SUCCESS) {
      error = error_text(code);
    }
  }
  const std::uint64_t chunk = kWriteChunkBytes / sizeof(Element);
  std::vector<Element> buffer(std::min(chunk, count));
  const std::uint64_t start = header.size() + ranks_.rank * count * sizeof(Element);
  for (std::uint64_t begin = 0; begin < count && !error; begin += chunk) {
    const std::uint64_t n = std::min(chunk, count - begin);
    fill(buffer.data(), begin, n);
    const int code = MPI_File_write_at(
        file_, static_cast<MPI_Offset>(start + begin * sizeof(Element)), buffer.data(),
        static_cast<int>(n * sizeof(Element)), MPI_BYTE, MPI_STATUS_IGNORE);
    if (code != MPI_SUCCESS) {
      error = error_text(code);
    } else if (fault_strikes(Fault::Full, ranks_.rank)) {
      error = std::strerror(ENOSPC);
    } else if (fault_strikes(Fault::KillWrite, ranks_.rank)) {
      die_now();
    }
  }
  error = agree_text(error, ranks_);
  if (!error) {
    // Every part is written: the file gets its name.
    MPI_File_close(&file_);
    file_ = MPI_FILE_NULL;
    if (ranks_.rank == 0 && std::rename(temporary_.c_str(), path_.c_str()) != 0) {
      error = std::strerror(errno);
      std::remove(temporary_.c_str());
    }
    temporary_.clear();
    error = agree_text(error, ranks_);
    if (!error) {
      return std::nullopt;
    }
  }
  abandon();
  return "cannot write " + path_ + ": " + *error;
}

template <typename T>
std::optional<std::string> NpyWriter::write_amplitudes(std::span<const core::Complex<T>> slice) {
  return write<core::Complex<T>>(amplitude_descr<T>(), slice.size(),
                                 [&](core::Complex<T>* out, std::uint64_t begin, std::uint64_t n) {
                                   std::memcpy(out, &slice[begin], n * sizeof(core::Complex<T>));
                                 });
}

template <typename T>
std::optional<std::string> NpyWriter::write_probabilities(std::span<const core::Complex<T>> slice) {
  return write<T>(probability_descr<T>(), slice.size(),
                  [&](T* out, std::uint64_t begin, std::uint64_t n) {
                    for (std::uint64_t i = 0; i < n; ++i) {
                      const core::Complex<T>& a = slice[begin + i];
                      out[i] = a.re * a.re + a.im * a.im;
                    }
                  });
}

template std::optional<std::string> NpyWriter::write_amplitudes<float>(
    std::span<const core::Complex<float>>);
template std::optional<std::string> NpyWriter::write_amplitudes<double>(
    std::span<const core::Complex<double>>);
template std::optional<std::string> NpyWriter::write_probabilities<float>(
    std::span<const core::Complex<float>>);
template std::optional<std::string> NpyWriter::write_probabilities<double>(
    std::span<const core::Complex<double>>);

}  // namespace vorn::mpi
