#pragma once

#include <filesystem>
#include <string>

#include "platform/sysext/system_extensions.h"

namespace platform::sysext {

// An extension's bundle: a folder holding the extension's executable and manifest.json, an
// object with the texts "bundleIdentifier", "bundleShortVersion", "bundleVersion" and
// "executable" (the executable's file name in the folder).
class ExtensionBundle {
 public:
  // Reads and checks the bundle at `folder` for the extension `identifier`. Throws
  // RequestFailure: extension not found without a manifest there; validation failed for a
  // manifest that is broken or names another extension, or an executable that cannot run.
  static ExtensionBundle open(const std::filesystem::path& folder, const std::string& identifier);

  const std::filesystem::path& folder() const { return folder_; }
  const ExtensionProperties& properties() const { return properties_; }
  std::filesystem::path executable() const { return folder_ / executableName_; }

 private:
  ExtensionBundle(std::filesystem::path folder, ExtensionProperties properties,
                  std::string executableName);

  std::filesystem::path folder_;
  ExtensionProperties properties_;
  std::string executableName_;
};

}  // namespace platform::sysext
