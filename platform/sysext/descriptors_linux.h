#pragma once

#include <fcntl.h>
#include <unistd.h>

#include "platform/base/unique_fd.h"
#include "platform/sysext/request_failure_linux.h"

namespace platform::sysext {

// Moves a descriptor that landed on a standard stream (0-2, closed when this program started)
// above them, close-on-exec: a child's dup2 onto its standard streams would otherwise close it
// there, and a lock held through it would be lost. Calling thread; throws RequestFailure.
inline base::UniqueFd clearOfStandardStreams(base::UniqueFd fd) {
  if (!fd || fd.get() > STDERR_FILENO) return fd;
  base::UniqueFd moved(::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
  if (!moved) throw systemFailure("cannot move a descriptor off the standard streams");
  return moved;
}

}  // namespace platform::sysext
