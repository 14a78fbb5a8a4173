#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/camera/hardware.h"

namespace camd::testing {

using platform::camera::ObjectID;
using platform::camera::PropertyResult;
using platform::camera::PropertyValue;
using platform::camera::Status;

// A camera object tree written by the test, behind the clients' interface: each read of a
// property answers the next of its scripted results (the last one repeats), so a read can fail,
// hand back no string, or see a list shrink between two reads, which a live host never does on
// demand. An unscripted property reads as kUnknownProperty. Thread-safe.
class ScriptedObjectTree final : public platform::camera::HardwareClient {
 public:
  // The results successive reads give.
  void set(ObjectID object, uint32_t selector, std::vector<PropertyResult> results);
  // A value every read gives.
  void set(ObjectID object, uint32_t selector, PropertyValue value);
  // A device with the given UID and streams of the given directions (IDs device+1, +2, ...).
  void addDevice(ObjectID device, const std::string& uid, std::vector<uint32_t> directions);
  int reads(ObjectID object, uint32_t selector) const;

  // The stream operations' results.
  Status copyQueueStatus = 0;
  bool copyQueueGivesQueue = true;
  Status startStatus = 0;

  PropertyResult readProperty(ObjectID object,
                              const platform::camera::PropertyAddress& address) override;
  Status writeProperty(ObjectID, const platform::camera::PropertyAddress&,
                       const PropertyValue&) override;
  Status copyBufferQueue(ObjectID stream, std::function<void()> queueAltered,
                         platform::media::SimpleQueueRef* queue) override;
  Status startStream(ObjectID device, ObjectID stream) override;
  Status stopStream(ObjectID device, ObjectID stream) override;
  void disconnect() override {}

 private:
  using Key = std::pair<ObjectID, uint32_t>;
  mutable std::mutex mutex_;
  std::map<Key, std::vector<PropertyResult>> scripts_;  // guarded by mutex_
  std::map<Key, int> reads_;                            // guarded by mutex_
};

}  // namespace camd::testing
