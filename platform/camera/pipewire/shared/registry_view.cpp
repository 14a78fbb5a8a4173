#include "platform/camera/pipewire/shared/registry_view.h"

#include <pipewire/pipewire.h>

#include <cstdlib>
#include <cstring>

namespace platform::camera::pipewire {
namespace {

std::optional<uint32_t> uintOf(const spa_dict* props, const char* key) {
  const char* text = spa_dict_lookup(props, key);
  if (text == nullptr) return std::nullopt;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0' || value > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(value);
}

bool isVideoNode(const char* mediaClass) {
  return mediaClass != nullptr &&
         (std::strcmp(mediaClass, "Video/Source") == 0 || std::strcmp(mediaClass, "Video/Sink") == 0);
}

}  // namespace

// A video node bound to hear its full properties and its state.
struct RegistryView::BoundNode {
  RegistryView* view = nullptr;
  uint32_t id = 0;
  pw_proxy* proxy = nullptr;
  spa_hook listener{};

  ~BoundNode() {
    spa_hook_remove(&listener);
    pw_proxy_destroy(proxy);
  }

  static void onInfo(void* data, const pw_node_info* info) {
    auto* self = static_cast<BoundNode*>(data);
    auto node = self->view->nodes_.find(self->id);
    if (node == self->view->nodes_.end()) return;
    node->second.known = true;
    node->second.running = info->state == PW_NODE_STATE_RUNNING;
    if ((info->change_mask & PW_NODE_CHANGE_MASK_PROPS) != 0 && info->props != nullptr) {
      node->second.properties.clear();
      const spa_dict_item* item = nullptr;
      spa_dict_for_each(item, info->props) node->second.properties[item->key] = item->value;
    }
  }
};

RegistryView::RegistryView(pw_core* core, Events events) : events_(std::move(events)) {
  static const pw_registry_events registryEvents = [] {
    pw_registry_events e{};
    e.version = PW_VERSION_REGISTRY_EVENTS;
    e.global = onGlobal;
    e.global_remove = onGlobalRemove;
    return e;
  }();
  registry_ = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
  pw_registry_add_listener(registry_, &registryListener_, &registryEvents, this);
}

RegistryView::~RegistryView() {
  bound_.clear();
  spa_hook_remove(&registryListener_);
  pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
}

std::optional<uint32_t> RegistryView::portOf(uint32_t node, bool output) const {
  for (const auto& [id, port] : ports_) {
    if (port.node == node && port.output == output) return id;
  }
  return std::nullopt;
}

void RegistryView::destroy(uint32_t id) {
  pw_registry_destroy(registry_, id);
}

void RegistryView::onGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                            const spa_dict* props) {
  auto* self = static_cast<RegistryView*>(data);
  if (props == nullptr) return;
  if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
    const char* mediaClass = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
    if (!isVideoNode(mediaClass)) return;
    const char* serial = spa_dict_lookup(props, PW_KEY_OBJECT_SERIAL);
    Node node;
    node.id = id;
    node.serial = serial != nullptr ? std::strtoull(serial, nullptr, 10) : 0;
    node.mediaClass = mediaClass;
    self->nodes_[id] = std::move(node);
    static const pw_node_events nodeEvents = [] {
      pw_node_events e{};
      e.version = PW_VERSION_NODE_EVENTS;
      e.info = BoundNode::onInfo;
      return e;
    }();
    auto bound = std::make_unique<BoundNode>();
    bound->view = self;
    bound->id = id;
    bound->proxy = static_cast<pw_proxy*>(
        pw_registry_bind(self->registry_, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
    if (bound->proxy == nullptr) return;
    pw_proxy_add_object_listener(bound->proxy, &bound->listener, &nodeEvents, bound.get());
    self->bound_[id] = std::move(bound);
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
    const std::optional<uint32_t> node = uintOf(props, PW_KEY_NODE_ID);
    const char* direction = spa_dict_lookup(props, PW_KEY_PORT_DIRECTION);
    if (!node || direction == nullptr) return;
    self->ports_[id] = Port{id, *node, std::strcmp(direction, "out") == 0};
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
    const std::optional<uint32_t> output = uintOf(props, PW_KEY_LINK_OUTPUT_NODE);
    const std::optional<uint32_t> input = uintOf(props, PW_KEY_LINK_INPUT_NODE);
    if (!output || !input) return;
    const Link& link = self->links_[id] = Link{id, *output, *input};
    if (self->events_.linkAdded) self->events_.linkAdded(link);
  }
}

void RegistryView::onGlobalRemove(void* data, uint32_t id) {
  auto* self = static_cast<RegistryView*>(data);
  self->bound_.erase(id);
  self->nodes_.erase(id);
  self->ports_.erase(id);
  auto link = self->links_.find(id);
  if (link == self->links_.end()) return;
  const Link removed = link->second;
  self->links_.erase(link);
  if (self->events_.linkRemoved) self->events_.linkRemoved(removed);
}

std::optional<std::string> propertyOf(const Properties& properties, const std::string& key) {
  auto found = properties.find(key);
  if (found == properties.end()) return std::nullopt;
  return found->second;
}

}  // namespace platform::camera::pipewire
