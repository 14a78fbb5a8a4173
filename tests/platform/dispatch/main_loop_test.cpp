#include "platform/dispatch/main_loop.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

namespace platform::dispatch {
namespace {

// Each test runs in a process of its own, so the signals reach only this loop.
TEST(MainLoop, TerminationSignalFromAnyThreadEndsRunInsteadOfTheProcess) {
  MainLoop loop;
  std::thread sender([] { ::kill(::getpid(), SIGTERM); });
  EXPECT_EQ(loop.run(), SIGTERM);
  sender.join();
  ::raise(SIGINT);  // one that came before run()
  EXPECT_EQ(loop.run(), SIGINT);
}

}  // namespace
}  // namespace platform::dispatch
