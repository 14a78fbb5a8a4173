#pragma once

#include <spa/utils/hook.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

struct pw_core;
struct pw_registry;
struct pw_proxy;
struct spa_dict;

namespace platform::camera::pipewire {

using Properties = std::map<std::string, std::string>;

// What the daemon's registry lists, as one connection sees it: the video nodes with their full
// properties and state, the ports and the links. Kept up to date by the registry's events on the
// loop thread; read on the loop thread or under its lock.
class RegistryView {
 public:
  // A node of media class Video/Source or Video/Sink. Its properties and state come from the node
  // itself, once it has answered (`known`): the registry lists only a few of them.
  struct Node {
    uint32_t id = 0;
    uint64_t serial = 0;  // never reused by the daemon, unlike `id`
    std::string mediaClass;
    bool known = false;
    Properties properties;
    bool running = false;
  };
  struct Port {
    uint32_t id = 0;
    uint32_t node = 0;
    bool output = false;
  };
  struct Link {
    uint32_t id = 0;
    uint32_t outputNode = 0;
    uint32_t inputNode = 0;
  };
  struct Events {
    std::function<void(const Link&)> linkAdded;
    std::function<void(const Link&)> linkRemoved;
  };

  RegistryView(pw_core* core, Events events = {});
  ~RegistryView();
  RegistryView(const RegistryView&) = delete;
  RegistryView& operator=(const RegistryView&) = delete;

  const std::map<uint32_t, Node>& nodes() const { return nodes_; }
  // The node's port in the given direction; nullopt while it has none.
  std::optional<uint32_t> portOf(uint32_t node, bool output) const;
  // Asks the daemon to destroy an object, such as a link.
  void destroy(uint32_t id);

 private:
  struct BoundNode;

  static void onGlobal(void* data, uint32_t id, uint32_t permissions, const char* type,
                       uint32_t version, const spa_dict* props);
  static void onGlobalRemove(void* data, uint32_t id);

  const Events events_;
  pw_registry* registry_ = nullptr;
  spa_hook registryListener_{};
  std::map<uint32_t, Node> nodes_;
  std::map<uint32_t, std::unique_ptr<BoundNode>> bound_;
  std::map<uint32_t, Port> ports_;
  std::map<uint32_t, Link> links_;
};

// The value of `key` in a dictionary of PipeWire properties; nullopt when absent.
std::optional<std::string> propertyOf(const Properties& properties, const std::string& key);

}  // namespace platform::camera::pipewire
