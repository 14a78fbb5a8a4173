#pragma once

#include <spa/utils/hook.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/camera/pipewire/shared/pipewire_loop.h"

struct pw_core;
struct pw_registry;
struct pw_registry_events;
struct pw_node_events;
struct pw_link_events;
struct pw_link_info;
struct pw_node_info;
struct pw_proxy;
struct spa_dict;

namespace platform::camera::pipewire {

using Properties = std::map<std::string, std::string>;

// What the daemon's registry lists, as one connection sees it: the video nodes with their full
// properties and state, their ports, and the links between them with their state. Kept up to date
// by the registry's events on the loop thread; read on the loop thread or under its lock.
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
  // A link from or to a video node. Its state comes from the link itself, once it has answered.
  struct Link {
    enum class State { Unknown, Negotiating, Active, Failed };
    uint32_t id = 0;
    uint32_t outputNode = 0;
    uint32_t inputNode = 0;
    State state = State::Unknown;
    std::string error;  // PipeWire's reason, once Failed
  };
  // Each on the loop thread.
  struct Events {
    std::function<void(const Link&)> linkAdded;
    std::function<void(const Link&)> linkFailed;
    std::function<void(const Link&)> linkRemoved;
  };

  RegistryView(PipeWireLoop& loop, pw_core* core, Events events = {}) QLN_REQUIRES(loopConfinement);
  ~RegistryView() QLN_REQUIRES(loopConfinement);
  RegistryView(const RegistryView&) = delete;
  RegistryView& operator=(const RegistryView&) = delete;

  const std::map<uint32_t, Node>& nodes() const QLN_REQUIRES(loopConfinement) { return nodes_; }
  // The node's port in the given direction; nullopt while it has none.
  std::optional<uint32_t> portOf(uint32_t node, bool output) const QLN_REQUIRES(loopConfinement);
  // Whether a link starts or ends at the node.
  bool linked(uint32_t node) const QLN_REQUIRES(loopConfinement);
  // The link of that global ID; null while the registry does not list it.
  const Link* link(uint32_t id) const QLN_REQUIRES(loopConfinement);
  // Asks the daemon to destroy an object, such as a link.
  void destroy(uint32_t id) QLN_REQUIRES(loopConfinement);

 private:
  // A node or link bound to hear its info.
  struct Bound;

  static void onGlobal(void* data, uint32_t id, uint32_t permissions, const char* type,
                       uint32_t version, const spa_dict* props);
  static void onGlobalRemove(void* data, uint32_t id);
  static void onNodeInfo(void* data, const pw_node_info* info);
  static void onLinkInfo(void* data, const pw_link_info* info);
  static const pw_registry_events kRegistryEvents;
  static const pw_node_events kNodeEvents;
  static const pw_link_events kLinkEvents;

  void bind(uint32_t id, const char* type, uint32_t version, const void* events)
      QLN_REQUIRES(loopConfinement);

  PipeWireLoop& loop_;
  const Events events_;
  pw_registry* registry_ QLN_GUARDED_BY(loopConfinement) = nullptr;
  spa_hook registryListener_ QLN_GUARDED_BY(loopConfinement){};
  std::map<uint32_t, Node> nodes_ QLN_GUARDED_BY(loopConfinement);
  std::map<uint32_t, std::unique_ptr<Bound>> bound_ QLN_GUARDED_BY(loopConfinement);
  std::map<uint32_t, Port> ports_ QLN_GUARDED_BY(loopConfinement);
  std::map<uint32_t, Link> links_ QLN_GUARDED_BY(loopConfinement);
};

// The value of `key` in a dictionary of PipeWire properties; nullopt when absent.
std::optional<std::string> propertyOf(const Properties& properties, const std::string& key);

}  // namespace platform::camera::pipewire
