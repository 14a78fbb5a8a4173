#pragma once

#include <cstdint>
#include <map>
#include <tuple>

#include "platform/base/mutex.h"
#include "platform/camera/hardware.h"

namespace platform::camera::pipewire {

// The object IDs of one process's clients for the daemon's nodes. Each (daemon, node serial,
// kind) gets the next number of a counter that never goes back: a daemon that restarts numbers
// its objects from the start again, and a camera coming back under the IDs it had would look
// unchanged to a client holding a stream that died with the old daemon. Shared by the process's
// clients, so that all of them see one object under one ID, but for a client that lost the
// daemon and got back to the same one: its streams died, so it sees the objects anew. Any
// thread; its own mutex.
class ObjectIDs {
 public:
  enum class Kind { Device, Stream };

  // The table of this process.
  static ObjectIDs& ofProcess();

  // The daemon the IDs are for: the number it drew when it started, and how often the client
  // got back to it after losing it.
  struct Daemon {
    uint32_t cookie = 0;
    uint32_t returns = 0;
  };

  // The ID of the device whose first node has `serial`, or of the stream of that node.
  ObjectID idOf(Daemon daemon, uint64_t serial, Kind kind);

 private:
  base::Mutex mutex_;
  ObjectID next_ QLN_GUARDED_BY(mutex_) = kSystemObject + 1;
  // One entry for each camera node the process was shown.
  std::map<std::tuple<uint32_t, uint32_t, uint64_t, Kind>, ObjectID> minted_ QLN_GUARDED_BY(mutex_);
};

}  // namespace platform::camera::pipewire
