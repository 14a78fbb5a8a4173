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

TEST(MainLoop, QuitFromAnyThreadEndsRunWithZeroAndLeavesOutsideSignalsTheirNumber) {
  MainLoop loop;
  loop.quit();  // before run()
  EXPECT_EQ(loop.run(), 0);
  std::thread quitter([&] { loop.quit(); });
  EXPECT_EQ(loop.run(), 0);
  quitter.join();
  ::kill(::getpid(), SIGTERM);
  EXPECT_EQ(loop.run(), SIGTERM);
  loop.quit();  // after the last run(): dropped with the loop instead of ending the process
}

}  // namespace
}  // namespace platform::dispatch
