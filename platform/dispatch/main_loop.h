#pragma once

namespace platform::dispatch {

// The main thread's run loop: parks the thread the way a program hands it to the platform, while
// all work happens on serial queues, until the process is asked to terminate. Create it first
// in main(), before any other thread starts: from then on SIGTERM and SIGINT no longer end the
// process but end run(). One per process.
class MainLoop {
 public:
  MainLoop();
  ~MainLoop();  // the signals end the process again
  MainLoop(const MainLoop&) = delete;
  MainLoop& operator=(const MainLoop&) = delete;

  // Returns the number of the first termination signal, also one that came before run(), or 0
  // when quit() came first.
  int run();

  // Ends run() from any thread, also before it is called. Async-signal-safe.
  void quit();
};

}  // namespace platform::dispatch
