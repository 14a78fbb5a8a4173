#pragma once

#include <cstddef>

// Pipes between the tool and the program that feeds it.
namespace platform::io {

// Asks the system to give the pipe behind `fd` a buffer of `bytes`, so a producer can write a
// whole large frame while the reader is busy. Silently keeps the current size when `fd` is not a
// pipe or the system refuses (a limit for unprivileged processes, or no such control).
void enlargePipeBuffer(int fd, std::size_t bytes);

// Makes a write to a pipe whose reader has gone fail with an error instead of ending the
// process.
void ignoreBrokenPipeSignal();

}  // namespace platform::io
