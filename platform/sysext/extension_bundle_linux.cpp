#include "platform/sysext/extension_bundle_linux.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <utility>

#include <nlohmann/json.hpp>

#include "platform/sysext/request_failure_linux.h"

namespace platform::sysext {
namespace {

std::optional<std::string> nonEmptyText(const nlohmann::json& manifest, const char* key) {
  if (!manifest.is_object()) return std::nullopt;
  const auto value = manifest.find(key);
  if (value == manifest.end() || !value->is_string() || value->get<std::string>().empty()) {
    return std::nullopt;
  }
  return value->get<std::string>();
}

// A plain file name, so the executable cannot lie outside the bundle.
bool isFileName(const std::string& name) {
  return name.find('/') == std::string::npos && name != "." && name != "..";
}

}  // namespace

ExtensionBundle::ExtensionBundle(std::filesystem::path folder, ExtensionProperties properties,
                                 std::string executableName)
    : folder_(std::move(folder)),
      properties_(std::move(properties)),
      executableName_(std::move(executableName)) {}

ExtensionBundle ExtensionBundle::open(const std::filesystem::path& folder,
                                      const std::string& identifier) {
  const std::filesystem::path manifestPath = folder / "manifest.json";
  std::ifstream manifestFile(manifestPath);
  if (!manifestFile) {
    throw RequestFailure(kErrorExtensionNotFound,
                         "no bundle of " + identifier + " at " + folder.string() +
                             "; build it there or set QLN_SYSEXT_BUNDLE to its bundle's folder");
  }
  const nlohmann::json manifest = nlohmann::json::parse(manifestFile, nullptr, false);
  const std::optional<std::string> id = nonEmptyText(manifest, "bundleIdentifier");
  const std::optional<std::string> shortVersion = nonEmptyText(manifest, "bundleShortVersion");
  const std::optional<std::string> version = nonEmptyText(manifest, "bundleVersion");
  const std::optional<std::string> executable = nonEmptyText(manifest, "executable");
  if (!id || !shortVersion || !version || !executable || !isFileName(*executable)) {
    throw RequestFailure(kErrorValidationFailed,
                         manifestPath.string() +
                             " is not a manifest: it needs an object with the texts "
                             "bundleIdentifier, bundleShortVersion, bundleVersion and executable "
                             "(a file name in the bundle)");
  }
  if (*id != identifier) {
    throw RequestFailure(kErrorValidationFailed,
                         "the bundle at " + folder.string() + " is " + *id + ", not " + identifier);
  }
  ExtensionBundle bundle(folder, {*id, *shortVersion, *version}, *executable);
  const std::filesystem::path program = bundle.executable();
  struct stat status {};
  if (::stat(program.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
      ::access(program.c_str(), X_OK) != 0) {
    throw RequestFailure(kErrorValidationFailed,
                         program.string() + " is missing or not an executable file");
  }
  return bundle;
}

}  // namespace platform::sysext
