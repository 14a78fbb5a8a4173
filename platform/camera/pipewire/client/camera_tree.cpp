#include "platform/camera/pipewire/client/camera_tree.h"

#include <pipewire/keys.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <sstream>

#include "platform/camera/pipewire/shared/camera_node_keys.h"

namespace platform::camera::pipewire {
namespace {

std::optional<int64_t> integerOf(const Properties& properties, const char* key) {
  const std::optional<std::string> text = propertyOf(properties, key);
  if (!text || text->empty()) return std::nullopt;
  char* end = nullptr;
  const long long value = std::strtoll(text->c_str(), &end, 10);
  if (*end != '\0') return std::nullopt;
  return value;
}

// A node property that the tree answers under a selector, as text or as a uint32.
struct PublishedKey {
  const char* key;
  uint32_t selector;
  bool text;
};
constexpr PublishedKey kDeviceKeys[] = {
    {keys::kDeviceModel, selector::kModel, true},
    {keys::kDeviceTransportType, selector::kTransportType, false},
    {keys::kProviderName, selector::kProviderName, true},
    {keys::kProviderManufacturer, selector::kManufacturer, true}};
constexpr PublishedKey kStreamKeys[] = {
    {keys::kSinkQueueSize, selector::kSinkBufferQueueSize, false},
    {keys::kSinkBuffersRequiredForStartup, selector::kSinkBuffersRequiredForStartup, false},
    {keys::kSinkUnderrunCount, selector::kSinkBufferUnderrunCount, false},
    {keys::kSinkEndOfData, selector::kSinkEndOfData, false}};

template <std::size_t N>
void gather(const Properties& properties, const PublishedKey (&table)[N],
            std::map<uint32_t, PropertyValue>& published) {
  for (const PublishedKey& entry : table) {
    if (entry.text) {
      if (auto text = propertyOf(properties, entry.key)) published[entry.selector] = *text;
    } else if (auto value = integerOf(properties, entry.key); value && *value >= 0) {
      published[entry.selector] =
          static_cast<uint32_t>(std::min<int64_t>(*value, std::numeric_limits<uint32_t>::max()));
    }
  }
}

// "1/30" as a frame duration; nullopt for anything else.
std::optional<FrameDurationInfo> frameDurationOf(const Properties& properties) {
  const std::optional<std::string> text = propertyOf(properties, keys::kStreamFrameDuration);
  long long value = 0;
  int timescale = 0;
  char slash = 0;
  std::istringstream parts(text.value_or(""));
  if (!(parts >> value >> slash >> timescale) || slash != '/' || timescale <= 0) {
    return std::nullopt;
  }
  return FrameDurationInfo{value, timescale, 1};
}

// A device while it is put together, with its nodes' serials.
struct Gathered {
  CameraTree::Device device;
  uint64_t firstSerial = UINT64_MAX;
  std::vector<std::pair<int64_t, CameraTree::Stream>> streams;  // by place in the device's list
};

// "1920x1080,1280x720" as sizes; entries that are not sizes are left out.
std::vector<VideoSize> parseSizes(const std::string& text) {
  std::vector<VideoSize> sizes;
  std::istringstream list(text);
  std::string item;
  while (std::getline(list, item, ',')) {
    unsigned width = 0, height = 0;
    char x = 0;
    std::istringstream entry(item);
    if (entry >> width >> x >> height && x == 'x' && width > 0 && height > 0) {
      sizes.push_back({width, height});
    }
  }
  return sizes;
}

}  // namespace

CameraTree CameraTree::build(const RegistryView& registry, ObjectIDs::Daemon daemon) {
  ObjectIDs& ids = ObjectIDs::ofProcess();
  std::map<std::string, Gathered> byUID;
  for (const auto& [id, node] : registry.nodes()) {
    if (!node.known) continue;
    const std::optional<std::string> uid = propertyOf(node.properties, keys::kDeviceUID);
    if (!uid && node.mediaClass != "Video/Source") continue;
    const std::string deviceUID = uid.value_or(
        propertyOf(node.properties, PW_KEY_NODE_NAME).value_or(std::to_string(node.serial)));
    Gathered& gathered = byUID[deviceUID];
    gathered.device.uid = deviceUID;
    gathered.firstSerial = std::min(gathered.firstSerial, node.serial);
    gathered.device.running |= node.running;
    Stream stream;
    stream.node = id;
    stream.id = ids.idOf(daemon, node.serial, ObjectIDs::Kind::Stream);
    if (uid) {
      gathered.device.name = propertyOf(node.properties, keys::kDeviceName).value_or("");
      stream.name = propertyOf(node.properties, keys::kStreamName).value_or("");
      stream.direction =
          static_cast<uint32_t>(integerOf(node.properties, keys::kStreamDirection).value_or(1));
      stream.formats =
          outputFormats(parseSizes(propertyOf(node.properties, keys::kStreamFormats).value_or("")));
      const std::optional<int64_t> active = integerOf(node.properties, keys::kActiveFormat);
      if (active && *active >= 0 && static_cast<std::size_t>(*active) < stream.formats.size()) {
        stream.activeFormat = static_cast<uint32_t>(*active);
      }
      gather(node.properties, kDeviceKeys, gathered.device.published);
      gather(node.properties, kStreamKeys, stream.published);
      if (auto duration = frameDurationOf(node.properties)) {
        stream.published[selector::kFrameDuration] = *duration;
      }
    } else {
      const std::string shown =
          propertyOf(node.properties, PW_KEY_NODE_DESCRIPTION)
              .value_or(propertyOf(node.properties, PW_KEY_NODE_NICK).value_or(deviceUID));
      gathered.device.name = shown;
      stream.name = shown;
    }
    const int64_t place = integerOf(node.properties, keys::kStreamIndex).value_or(0);
    gathered.streams.emplace_back(place, std::move(stream));
  }

  std::vector<Gathered> gathered;
  for (auto& [uid, device] : byUID) gathered.push_back(std::move(device));
  std::sort(gathered.begin(), gathered.end(),
            [](const Gathered& a, const Gathered& b) { return a.firstSerial < b.firstSerial; });
  CameraTree tree;
  for (Gathered& device : gathered) {
    std::stable_sort(device.streams.begin(), device.streams.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    device.device.id = ids.idOf(daemon, device.firstSerial, ObjectIDs::Kind::Device);
    for (auto& [place, stream] : device.streams) device.device.streams.push_back(std::move(stream));
    tree.devices.push_back(std::move(device.device));
  }
  return tree;
}

const CameraTree::Device* CameraTree::device(ObjectID id) const {
  for (const Device& device : devices) {
    if (device.id == id) return &device;
  }
  return nullptr;
}

std::pair<const CameraTree::Device*, const CameraTree::Stream*> CameraTree::stream(
    ObjectID id) const {
  for (const Device& device : devices) {
    for (const Stream& stream : device.streams) {
      if (stream.id == id) return {&device, &stream};
    }
  }
  return {nullptr, nullptr};
}

}  // namespace platform::camera::pipewire
