#include "tests/platform/camera/in_process/client_registry.h"

#include <unistd.h>

#include <algorithm>

namespace platform::camera::in_process {

ExtensionClientRef ClientRegistry::attach() {
  auto client = std::make_shared<const ExtensionClient>(
      ExtensionClient{Uuid::random(), static_cast<int32_t>(::getpid()), ""});
  clients_.emplace(client.get(), client);
  return client;
}

bool ClientRegistry::isAttached(const ExtensionClientRef& client) const {
  return client && clients_.count(client.get()) != 0;
}

std::vector<const ExtensionProvider*> ClientRegistry::detach(const ExtensionClientRef& client) {
  std::vector<const ExtensionProvider*> contacted;
  if (clients_.erase(client.get()) == 0) return contacted;
  for (auto& [provider, clients] : contacts_) {
    auto found = std::find(clients.begin(), clients.end(), client);
    if (found == clients.end()) continue;
    clients.erase(found);
    contacted.push_back(provider);
  }
  return contacted;
}

bool ClientRegistry::hasContacted(const ExtensionClientRef& client,
                                  const ExtensionProvider* provider) const {
  auto found = contacts_.find(provider);
  if (found == contacts_.end()) return false;
  return std::find(found->second.begin(), found->second.end(), client) != found->second.end();
}

void ClientRegistry::noteContact(const ExtensionClientRef& client,
                                 const ExtensionProvider* provider) {
  contacts_[provider].push_back(client);
}

std::vector<ExtensionClientRef> ClientRegistry::forgetProvider(const ExtensionProvider* provider) {
  auto found = contacts_.find(provider);
  if (found == contacts_.end()) return {};
  std::vector<ExtensionClientRef> clients = std::move(found->second);
  contacts_.erase(found);
  return clients;
}

}  // namespace platform::camera::in_process
