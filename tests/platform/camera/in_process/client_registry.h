#pragma once

#include <map>
#include <vector>

#include "platform/camera/extension_objects.h"

namespace platform::camera::in_process {

// The attached clients and the providers each has contacted: a provider hears of a client once,
// at its first contact (connectClient), and again when it ends (disconnectClient). Not
// thread-safe: the host guards it with its state lock.
class ClientRegistry {
 public:
  // A new client with its own identity, attached.
  ExtensionClientRef attach();
  bool isAttached(const ExtensionClientRef& client) const;
  // Forgets the client; returns the providers it had contacted. Nothing for an unknown client.
  std::vector<const ExtensionProvider*> detach(const ExtensionClientRef& client);

  bool hasContacted(const ExtensionClientRef& client, const ExtensionProvider* provider) const;
  void noteContact(const ExtensionClientRef& client, const ExtensionProvider* provider);
  // Forgets the provider; returns the clients that had contacted it.
  std::vector<ExtensionClientRef> forgetProvider(const ExtensionProvider* provider);

 private:
  std::map<const ExtensionClient*, ExtensionClientRef> clients_;
  std::map<const ExtensionProvider*, std::vector<ExtensionClientRef>> contacts_;
};

}  // namespace platform::camera::in_process
