#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/camera/hardware.h"
#include "platform/camera/pipewire/client/object_ids.h"
#include "platform/camera/pipewire/shared/registry_view.h"
#include "platform/camera/pipewire/shared/video_params.h"

namespace platform::camera::pipewire {

// The camera object tree as a client sees it, built from what the registry lists: published
// cameras (their nodes grouped by device UID, streams in the device's order) and every other
// Video/Source node as a device with one output stream, whose UID is its node name. Nodes that
// have not yet answered with their properties are left out. IDs come from ObjectIDs: a stream's
// is its node's, a device's its first node's.
struct CameraTree {
  struct Stream {
    ObjectID id = kObjectUnknown;
    uint32_t node = 0;
    uint32_t direction = 1;  // as the tree numbers it: 0 takes data into the device
    std::string name;
    std::vector<VideoFormat> formats;      // offered formats, as outputFormats() lists them
    std::optional<uint32_t> activeFormat;  // the place in `formats` of the one it streams in
    // The other properties its node publishes, by selector: frame duration, sink counts.
    std::map<uint32_t, PropertyValue> published;
  };
  struct Device {
    ObjectID id = kObjectUnknown;
    std::string uid;
    std::string name;
    bool running = false;  // some node of the device runs
    std::vector<Stream> streams;
    // The other properties its nodes publish, by selector: model, transport type, the
    // provider's name and manufacturer.
    std::map<uint32_t, PropertyValue> published;
  };

  // In the order the devices were published.
  std::vector<Device> devices;

  static CameraTree build(const RegistryView& registry, ObjectIDs::Daemon daemon)
      QLN_REQUIRES(loopConfinement);

  const Device* device(ObjectID id) const;
  // The stream and the device it belongs to; nulls when there is none.
  std::pair<const Device*, const Stream*> stream(ObjectID id) const;
};

}  // namespace platform::camera::pipewire
