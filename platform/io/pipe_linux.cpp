#include <fcntl.h>
#include <signal.h>

#include <climits>

#include "platform/io/pipe.h"

namespace platform::io {

void enlargePipeBuffer(int fd, std::size_t bytes) {
  if (bytes > static_cast<std::size_t>(INT_MAX)) bytes = INT_MAX;
  // F_SETPIPE_SZ fails with EBADF for other descriptors and EPERM above the unprivileged limit;
  // either way the pipe keeps the size it has.
  (void)::fcntl(fd, F_SETPIPE_SZ, static_cast<int>(bytes));
}

void ignoreBrokenPipeSignal() {
  ::signal(SIGPIPE, SIG_IGN);
}

}  // namespace platform::io
