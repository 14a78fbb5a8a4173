#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/camera/hardware.h"

namespace camd::testing {

using platform::camera::ObjectID;
using platform::camera::Status;

// One property of the scripted tree: a list of IDs, a 32-bit value or a string (nullopt: the
// platform hands back a null reference), read with the given statuses.
struct ScriptedProperty {
  using Value = std::variant<std::vector<ObjectID>, uint32_t, std::optional<std::string>>;
  ScriptedProperty(Value v, Status sizeResult = 0, Status dataResult = 0,
                   std::optional<uint32_t> claimedSize = std::nullopt)
      : value(std::move(v)),
        sizeStatus(sizeResult),
        dataStatus(dataResult),
        reportedSize(claimedSize) {}

  Value value;
  Status sizeStatus;
  Status dataStatus;
  std::optional<uint32_t> reportedSize;  // the size claimed, when it differs from the value's
};

// A camera object tree written by the test, standing in for the camera host behind the
// platform's client functions in the test program that links it: properties can fail, shrink
// between the two reads or hand back no string, which a live host never does on demand.
// Thread-safe.
class ScriptedObjectTree {
 public:
  static ScriptedObjectTree& instance();

  void reset();
  void set(ObjectID object, uint32_t selector, ScriptedProperty property);
  // A device with the given UID and streams of the given directions (IDs device+1, +2, ...).
  void addDevice(ObjectID device, const std::string& uid, std::vector<uint32_t> directions);

  int dataReads(ObjectID object, uint32_t selector) const;
  int stringsAlive() const;

  // The stream operations' results.
  Status copyQueueStatus = 0;
  bool copyQueueGivesQueue = true;
  Status startStatus = 0;

  // Used by the replaced platform functions.
  Status size(ObjectID object, uint32_t selector, uint32_t* dataSize);
  Status read(ObjectID object, uint32_t selector, uint32_t dataSize, void* data);
  void stringReleased();

 private:
  mutable std::mutex mutex_;
  std::map<std::pair<ObjectID, uint32_t>, ScriptedProperty> properties_;  // guarded by mutex_
  std::map<std::pair<ObjectID, uint32_t>, int> reads_;                    // guarded by mutex_
  int stringsAlive_ = 0;                                                  // guarded by mutex_
};

}  // namespace camd::testing
