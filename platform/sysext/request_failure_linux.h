#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "platform/sysext/system_extensions.h"

namespace platform::sysext {

// Ends a request with one of the service's error codes and a description a person can act on.
// Thrown and caught on the service's queue only.
class RequestFailure : public std::runtime_error {
 public:
  RequestFailure(int64_t code, const std::string& description)
      : std::runtime_error(description), code_(code) {}
  int64_t code() const { return code_; }

 private:
  int64_t code_;
};

// An unknown-error failure: `what` and the description of the current errno.
inline RequestFailure systemFailure(const std::string& what) {
  return RequestFailure(kErrorUnknown, what + ": " + std::strerror(errno));
}

}  // namespace platform::sysext
