#pragma once

namespace platform::dispatch {

// Parks the calling (main) thread for the life of the process, the way a program hands its main
// thread to the platform's run loop; all work then happens on serial queues.
[[noreturn]] void runMainLoop();

}  // namespace platform::dispatch
