#pragma once

#include <spa/utils/hook.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/base/mutex.h"
#include "platform/camera/pipewire/shared/pipewire_loop.h"

struct pw_core;
struct pw_core_events;
struct pw_core_info;
struct spa_source;

namespace platform::camera::pipewire {

// One connection to the PipeWire daemon named by the environment (PIPEWIRE_REMOTE,
// PIPEWIRE_RUNTIME_DIR, else the user's runtime folder), which comes back by itself: while the
// daemon cannot be reached, or after it went away, it tries again every kRetryInterval. The owner
// hears of each connection and each loss on the loop thread, where it makes and drops its
// PipeWire objects. Methods run on the loop thread or under its lock, but for awaitFirstTry()
// and roundTrip(), which wait for the loop.
class DaemonConnection {
 public:
  static constexpr std::chrono::milliseconds kRetryInterval{200};

  struct Events {
    std::function<void(pw_core*)> connected;  // objects made on the core live until lost
    std::function<void()> lost;               // the core is about to go; drop what was made on it
  };

  // `clientName` names the client in the daemon; `reportFailures`: the first failure to reach
  // the daemon is said once on standard error.
  DaemonConnection(PipeWireLoop& loop, std::string clientName, Events events, bool reportFailures);
  ~DaemonConnection();  // disconnects (without calling `lost`); under the loop's lock or not
  DaemonConnection(const DaemonConnection&) = delete;
  DaemonConnection& operator=(const DaemonConnection&) = delete;

  // Connects from the loop thread, retrying until the daemon answers.
  void start() QLN_REQUIRES(loopConfinement);
  // Waits until the first try to connect after start() is over; true when it connected. Any
  // thread but the loop thread, without the loop's lock.
  bool awaitFirstTry(std::chrono::milliseconds timeout = std::chrono::seconds(2))
      QLN_EXCLUDES(loopConfinement);
  // Drops the connection now, as a process that ends does, and tries no more.
  void stop() QLN_REQUIRES(loopConfinement);
  // Null while not connected.
  pw_core* core() const QLN_REQUIRES(loopConfinement) { return core_; }
  // The random number the daemon drew when it started, which tells a restarted daemon from the
  // one before; nullopt until the connected daemon said it.
  std::optional<uint32_t> daemonCookie() const QLN_REQUIRES(loopConfinement) {
    return daemonCookie_;
  }

  // Waits until the daemon has handled everything this connection sent before the call; false
  // when not connected or no answer came within `timeout`. Any thread but the loop thread,
  // without the loop's lock.
  bool roundTrip(std::chrono::milliseconds timeout = std::chrono::seconds(2))
      QLN_EXCLUDES(loopConfinement);

 private:
  void connect() QLN_REQUIRES(loopConfinement);
  void disconnect() QLN_REQUIRES(loopConfinement);
  void scheduleRetry(std::chrono::nanoseconds delay) QLN_REQUIRES(loopConfinement);
  static void onCoreInfo(void* data, const pw_core_info* info);
  static void onCoreDone(void* data, uint32_t id, int seq);
  static void onCoreError(void* data, uint32_t id, int seq, int res, const char* message);
  static void onRetry(void* data, uint64_t expirations);
  static const pw_core_events kCoreEvents;

  PipeWireLoop& loop_;
  const std::string clientName_;
  const Events events_;
  bool reportFailures_ QLN_GUARDED_BY(loopConfinement);
  bool stopped_ QLN_GUARDED_BY(loopConfinement) = false;
  // The daemon went away; the timer drops the core and reconnects.
  bool broken_ QLN_GUARDED_BY(loopConfinement) = false;
  pw_core* core_ QLN_GUARDED_BY(loopConfinement) = nullptr;
  std::optional<uint32_t> daemonCookie_ QLN_GUARDED_BY(loopConfinement);
  spa_hook coreListener_ QLN_GUARDED_BY(loopConfinement){};
  spa_source* retryTimer_ QLN_GUARDED_BY(loopConfinement) = nullptr;

  base::Mutex syncMutex_;
  std::condition_variable syncChanged_;
  int lastDoneSeq_ QLN_GUARDED_BY(syncMutex_) = -1;
  uint64_t tries_ QLN_GUARDED_BY(syncMutex_) = 0;
  bool connected_ QLN_GUARDED_BY(syncMutex_) = false;
  // Counts connections and losses. A loss ends the waits of its connection.
  uint64_t connectionCount_ QLN_GUARDED_BY(syncMutex_) = 0;
};

}  // namespace platform::camera::pipewire
