#include "platform/camera/pipewire/shared/registry_view.h"

#include <pipewire/pipewire.h>

#include <algorithm>
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
  return mediaClass != nullptr && (std::strcmp(mediaClass, "Video/Source") == 0 ||
                                   std::strcmp(mediaClass, "Video/Sink") == 0);
}

RegistryView::Link::State linkStateOf(pw_link_state state) {
  switch (state) {
    case PW_LINK_STATE_ERROR:
      return RegistryView::Link::State::Failed;
    case PW_LINK_STATE_ACTIVE:
      return RegistryView::Link::State::Active;
    default:
      return RegistryView::Link::State::Negotiating;
  }
}

}  // namespace

struct RegistryView::Bound {
  RegistryView* view = nullptr;
  uint32_t id = 0;
  pw_proxy* proxy = nullptr;
  spa_hook listener{};

  // Under the loop's lock, as the view that owns it.
  ~Bound() {
    spa_hook_remove(&listener);
    pw_proxy_destroy(proxy);
  }
};

const pw_registry_events RegistryView::kRegistryEvents = {
    .version = PW_VERSION_REGISTRY_EVENTS, .global = onGlobal, .global_remove = onGlobalRemove};
const pw_node_events RegistryView::kNodeEvents = {.version = PW_VERSION_NODE_EVENTS,
                                                  .info = onNodeInfo};
const pw_link_events RegistryView::kLinkEvents = {.version = PW_VERSION_LINK_EVENTS,
                                                  .info = onLinkInfo};

RegistryView::RegistryView(PipeWireLoop& loop, pw_core* core, Events events)
    : loop_(loop), events_(std::move(events)) {
  registry_ = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
  pw_registry_add_listener(registry_, &registryListener_, &kRegistryEvents, this);
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

bool RegistryView::linked(uint32_t node) const {
  return std::any_of(links_.begin(), links_.end(), [&](const auto& entry) {
    return entry.second.inputNode == node || entry.second.outputNode == node;
  });
}

const RegistryView::Link* RegistryView::link(uint32_t id) const {
  auto found = links_.find(id);
  return found != links_.end() ? &found->second : nullptr;
}

void RegistryView::destroy(uint32_t id) {
  pw_registry_destroy(registry_, id);
}

void RegistryView::bind(uint32_t id, const char* type, uint32_t version, const void* events) {
  auto bound = std::make_unique<Bound>();
  bound->view = this;
  bound->id = id;
  bound->proxy = static_cast<pw_proxy*>(pw_registry_bind(registry_, id, type, version, 0));
  if (bound->proxy == nullptr) return;
  pw_proxy_add_object_listener(bound->proxy, &bound->listener, events, bound.get());
  bound_[id] = std::move(bound);
}

void RegistryView::onGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                            const spa_dict* props) {
  auto* self = static_cast<RegistryView*>(data);
  self->loop_.assertConfined();
  if (props == nullptr) return;
  if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
    const char* mediaClass = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
    if (!isVideoNode(mediaClass)) return;
    const char* serial = spa_dict_lookup(props, PW_KEY_OBJECT_SERIAL);
    self->nodes_[id] = Node{.id = id,
                            .serial = serial != nullptr ? std::strtoull(serial, nullptr, 10) : 0,
                            .mediaClass = mediaClass};
    self->bind(id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, &kNodeEvents);
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
    const std::optional<uint32_t> node = uintOf(props, PW_KEY_NODE_ID);
    const char* direction = spa_dict_lookup(props, PW_KEY_PORT_DIRECTION);
    if (!node || direction == nullptr) return;
    self->ports_[id] = Port{id, *node, std::strcmp(direction, "out") == 0};
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
    const std::optional<uint32_t> output = uintOf(props, PW_KEY_LINK_OUTPUT_NODE);
    const std::optional<uint32_t> input = uintOf(props, PW_KEY_LINK_INPUT_NODE);
    if (!output || !input) return;
    if (self->nodes_.count(*output) == 0 && self->nodes_.count(*input) == 0) return;
    const Link& link = self->links_[id] =
        Link{.id = id, .outputNode = *output, .inputNode = *input};
    self->bind(id, PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &kLinkEvents);
    if (self->events_.linkAdded) self->events_.linkAdded(link);
  }
}

void RegistryView::onNodeInfo(void* data, const pw_node_info* info) {
  auto* bound = static_cast<Bound*>(data);
  RegistryView* self = bound->view;
  self->loop_.assertConfined();
  auto node = self->nodes_.find(bound->id);
  if (node == self->nodes_.end()) return;
  node->second.known = true;
  node->second.running = info->state == PW_NODE_STATE_RUNNING;
  if ((info->change_mask & PW_NODE_CHANGE_MASK_PROPS) != 0 && info->props != nullptr) {
    node->second.properties.clear();
    const spa_dict_item* item = nullptr;
    spa_dict_for_each(item, info->props) node->second.properties[item->key] = item->value;
  }
}

void RegistryView::onLinkInfo(void* data, const pw_link_info* info) {
  auto* bound = static_cast<Bound*>(data);
  RegistryView* self = bound->view;
  self->loop_.assertConfined();
  auto link = self->links_.find(bound->id);
  if (link == self->links_.end() || (info->change_mask & PW_LINK_CHANGE_MASK_STATE) == 0) return;
  const Link::State was = link->second.state;
  link->second.state = linkStateOf(info->state);
  link->second.error = info->error != nullptr ? info->error : "";
  if (link->second.state == Link::State::Failed && was != Link::State::Failed &&
      self->events_.linkFailed) {
    self->events_.linkFailed(link->second);
  }
}

void RegistryView::onGlobalRemove(void* data, uint32_t id) {
  auto* self = static_cast<RegistryView*>(data);
  self->loop_.assertConfined();
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
