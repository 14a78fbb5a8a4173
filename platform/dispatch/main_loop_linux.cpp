#include "platform/dispatch/main_loop.h"

#include <unistd.h>

namespace platform::dispatch {

void runMainLoop() {
  // pause() returns only after a signal handler ran; the thread stays parked either way.
  while (true) pause();
}

}  // namespace platform::dispatch
