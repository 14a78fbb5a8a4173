#include "platform/camera/pipewire/client/object_ids.h"

namespace platform::camera::pipewire {

ObjectIDs& ObjectIDs::ofProcess() {
  static ObjectIDs ids;
  return ids;
}

ObjectID ObjectIDs::idOf(Daemon daemon, uint64_t serial, Kind kind) {
  base::MutexLock lock(mutex_);
  const auto [entry, minted] =
      minted_.try_emplace({daemon.cookie, daemon.returns, serial, kind}, next_);
  if (minted) ++next_;
  return entry->second;
}

}  // namespace platform::camera::pipewire
