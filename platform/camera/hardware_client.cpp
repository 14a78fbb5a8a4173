#include <cstring>

#include "platform/camera/hardware.h"
#include "platform/camera/host_runtime.h"
#include "platform/camera/in_process_connection.h"

namespace platform::camera {

struct OwnedString {
  std::string text;
};

std::string stringText(StringRef string) {
  return string != nullptr ? string->text : std::string();
}

void releaseString(StringRef string) {
  delete string;
}

namespace {

// The byte layout of a property value: packed entries for lists, one owned StringRef for text,
// the plain value otherwise.
class PropertyBytes {
 public:
  static uint32_t size(const PropertyValue& value) {
    return std::visit([](const auto& v) { return sizeOf(v); }, value);
  }

  // Copies as many whole list entries as fit; a single value must fit whole.
  static Status write(const PropertyValue& value, uint32_t dataSize, uint32_t* dataUsed,
                      void* data) {
    uint32_t used = 0;
    Status result =
        std::visit([&](const auto& v) { return writeValue(v, dataSize, &used, data); }, value);
    if (dataUsed != nullptr) *dataUsed = used;
    return result;
  }

 private:
  static uint32_t sizeOf(std::monostate) { return 0; }
  static uint32_t sizeOf(const std::string&) { return sizeof(StringRef); }
  template <typename Entry>
  static uint32_t sizeOf(const std::vector<Entry>& entries) {
    return static_cast<uint32_t>(entries.size() * sizeof(Entry));
  }
  template <typename Scalar>
  static uint32_t sizeOf(const Scalar&) {
    return sizeof(Scalar);
  }

  static Status writeValue(std::monostate, uint32_t, uint32_t*, void*) { return status::kNoError; }
  static Status writeValue(const std::string& text, uint32_t dataSize, uint32_t* used, void* data) {
    if (dataSize < sizeof(StringRef)) return status::kBadPropertySize;
    StringRef string = new OwnedString{text};
    std::memcpy(data, &string, sizeof(string));
    *used = sizeof(string);
    return status::kNoError;
  }
  template <typename Entry>
  static Status writeValue(const std::vector<Entry>& entries, uint32_t dataSize, uint32_t* used,
                           void* data) {
    size_t count = std::min<size_t>(entries.size(), dataSize / sizeof(Entry));
    if (count > 0) std::memcpy(data, entries.data(), count * sizeof(Entry));
    *used = static_cast<uint32_t>(count * sizeof(Entry));
    return status::kNoError;
  }
  template <typename Scalar>
  static Status writeValue(const Scalar& scalar, uint32_t dataSize, uint32_t* used, void* data) {
    if (dataSize < sizeof(Scalar)) return status::kBadPropertySize;
    std::memcpy(data, &scalar, sizeof(Scalar));
    *used = sizeof(Scalar);
    return status::kNoError;
  }
};

// A hardware client on one host connection; turns typed values into the interface's bytes.
// Thread-safe: the connection is.
class ConnectedHardwareClient final : public HardwareClient {
 public:
  explicit ConnectedHardwareClient(std::unique_ptr<HostConnection> connection)
      : connection_(std::move(connection)) {}
  ~ConnectedHardwareClient() override { connection_->close(); }

  Status getPropertyDataSize(ObjectID object, const PropertyAddress& address, uint32_t, const void*,
                             uint32_t* dataSize) override {
    if (dataSize == nullptr) return status::kIllegalOperation;
    PropertyResult result = connection_->readProperty(object, address.selector);
    if (result.status != status::kNoError) return result.status;
    *dataSize = PropertyBytes::size(result.value);
    return status::kNoError;
  }

  Status getPropertyData(ObjectID object, const PropertyAddress& address, uint32_t, const void*,
                         uint32_t dataSize, uint32_t* dataUsed, void* data) override {
    if (data == nullptr && dataSize > 0) return status::kIllegalOperation;
    PropertyResult result = connection_->readProperty(object, address.selector);
    if (result.status != status::kNoError) return result.status;
    return PropertyBytes::write(result.value, dataSize, dataUsed, data);
  }

  Status setPropertyData(ObjectID object, const PropertyAddress& address, uint32_t, const void*,
                         uint32_t dataSize, const void* data) override {
    if (data == nullptr && dataSize > 0) return status::kIllegalOperation;
    const auto* bytes = static_cast<const uint8_t*>(data);
    std::vector<uint8_t> copy(bytes, bytes + (data != nullptr ? dataSize : 0));
    return connection_->writeProperty(object, address.selector, copy);
  }

  Status streamCopyBufferQueue(ObjectID stream, QueueAlteredProc proc, void* refCon,
                               media::SimpleQueueRef* queue) override {
    if (queue == nullptr) return status::kIllegalOperation;
    std::function<void()> queueAltered;
    if (proc != nullptr) queueAltered = [proc, stream, refCon] { proc(stream, nullptr, refCon); };
    return connection_->copyBufferQueue(stream, std::move(queueAltered), queue);
  }

  Status deviceStartStream(ObjectID device, ObjectID stream) override {
    return connection_->startStream(device, stream);
  }

  Status deviceStopStream(ObjectID device, ObjectID stream) override {
    return connection_->stopStream(device, stream);
  }

  void disconnect() override { connection_->close(); }

 private:
  const std::unique_ptr<HostConnection> connection_;
};

}  // namespace

std::shared_ptr<HardwareClient> HardwareClient::connect() {
  return std::make_shared<ConnectedHardwareClient>(
      std::make_unique<InProcessConnection>(HostRuntime::processRuntime()));
}

HardwareClient& HardwareClient::processDefault() {
  // Never destroyed: the process's own connection lasts as long as the process.
  static HardwareClient* client = new ConnectedHardwareClient(
      std::make_unique<InProcessConnection>(HostRuntime::processRuntime()));
  return *client;
}

Status objectGetPropertyDataSize(ObjectID object, const PropertyAddress& address,
                                 uint32_t qualifierSize, const void* qualifier,
                                 uint32_t* dataSize) {
  return HardwareClient::processDefault().getPropertyDataSize(object, address, qualifierSize,
                                                              qualifier, dataSize);
}

Status objectGetPropertyData(ObjectID object, const PropertyAddress& address,
                             uint32_t qualifierSize, const void* qualifier, uint32_t dataSize,
                             uint32_t* dataUsed, void* data) {
  return HardwareClient::processDefault().getPropertyData(object, address, qualifierSize, qualifier,
                                                          dataSize, dataUsed, data);
}

Status objectSetPropertyData(ObjectID object, const PropertyAddress& address,
                             uint32_t qualifierSize, const void* qualifier, uint32_t dataSize,
                             const void* data) {
  return HardwareClient::processDefault().setPropertyData(object, address, qualifierSize, qualifier,
                                                          dataSize, data);
}

Status streamCopyBufferQueue(ObjectID stream, QueueAlteredProc proc, void* refCon,
                             media::SimpleQueueRef* queue) {
  return HardwareClient::processDefault().streamCopyBufferQueue(stream, proc, refCon, queue);
}

Status deviceStartStream(ObjectID device, ObjectID stream) {
  return HardwareClient::processDefault().deviceStartStream(device, stream);
}

Status deviceStopStream(ObjectID device, ObjectID stream) {
  return HardwareClient::processDefault().deviceStopStream(device, stream);
}

void setHostClock(std::shared_ptr<dispatch::Clock> clock) {
  if (clock) HostRuntime::processRuntime().setClock(std::move(clock));
}

}  // namespace platform::camera
