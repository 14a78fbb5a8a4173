#pragma once

#include <cstddef>

// Whole-block reads and writes on a file descriptor: pipes, files, the standard streams. Each
// call runs on the calling thread and blocks while the other end is slower. Both are
// async-signal-safe, so a child may call them between fork and exec.
namespace platform::io {

inline constexpr int kStandardInput = 0;
inline constexpr int kStandardOutput = 1;
inline constexpr int kStandardError = 2;

struct ReadResult {
  std::size_t bytesRead = 0;  // all that was asked for, unless the input ended or a read failed
  int error = 0;              // the system's error number of a failed read; 0 otherwise
};

// Reads until `count` bytes are in `buffer`, the input ends or a read fails. Interrupted reads
// are retried.
ReadResult readFully(int fd, void* buffer, std::size_t count);

// Writes all `count` bytes, retrying interrupted and partial writes. False when the reader went
// away (with the broken-pipe signal ignored) or a write failed.
bool writeAll(int fd, const void* data, std::size_t count);

}  // namespace platform::io
