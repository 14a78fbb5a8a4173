#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/frame_stream_format.h"
#include "platform/base/unique_fd.h"

// Building and delivering frame streams in tests.
namespace camd::testing {

// A 16-byte frame header with the given fields, the format's magic unless told otherwise.
std::string frameHeader(
    uint32_t width, uint32_t height, uint32_t length,
    const std::string& magic = std::string(quillane::frame_stream::kMagic.begin(),
                                           quillane::frame_stream::kMagic.end()));

// A whole frame: header and width × 4 × height RGBA bytes, each byte `fill`.
std::string frame(uint32_t width, uint32_t height, uint8_t fill = 0x80);

// A pipe; the test writes into `writer` what the code under test reads from `reader`.
struct Pipe {
  Pipe();
  platform::base::UniqueFd reader;
  platform::base::UniqueFd writer;
};

// Writes all of `bytes`, which must fit the pipe's buffer unless someone reads.
void writeAll(Pipe& pipe, const std::string& bytes);

// A pipe whose reader holds `bytes` followed by end of input.
Pipe pipeWith(const std::string& bytes);

}  // namespace camd::testing
