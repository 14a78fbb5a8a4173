#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace quillane {

// Ends the process at once with a message on standard error. Only for states that cannot arise
// after a successful start, and for failures while the camera is being built.
[[noreturn]] inline void fatalError(std::string_view message) {
  std::fprintf(stderr, "quillane-camera-extension: fatal: %.*s\n", static_cast<int>(message.size()),
               message.data());
  std::abort();
}

}  // namespace quillane
