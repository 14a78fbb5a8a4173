#include "platform/sysext/extension_service_linux.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cstdlib>
#include <system_error>
#include <utility>

#include "platform/base/unique_fd.h"
#include "platform/sysext/extension_bundle_linux.h"
#include "platform/sysext/extension_process_linux.h"
#include "platform/sysext/request_failure_linux.h"

namespace platform::sysext {
namespace {

// Waits for the extension's request lock: requests of several processes take turns.
base::UniqueFd takeRequestLock(const std::filesystem::path& path) {
  base::UniqueFd lock(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!lock) throw systemFailure("cannot open " + path.string());
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) throw systemFailure("cannot lock " + path.string());
  }
  return lock;
}

// The installed copy's properties, with unknown versions when its manifest cannot be read; none
// when nothing is installed.
std::optional<ExtensionProperties> installedProperties(const ExtensionFiles& files,
                                                       const std::string& identifier) {
  if (!std::filesystem::exists(files.installed)) return std::nullopt;
  try {
    return ExtensionBundle::open(files.installed, identifier).properties();
  } catch (const RequestFailure&) {
    return ExtensionProperties{identifier, "unknown", "unknown"};
  }
}

// A copy of the bundle beside the installed one, until install() moves it into its place;
// removed when it never gets there.
class StagedCopy {
 public:
  StagedCopy(const std::filesystem::path& bundle, std::filesystem::path staging)
      : staging_(std::move(staging)) {
    std::filesystem::remove_all(staging_);
    try {
      std::filesystem::copy(bundle, staging_, std::filesystem::copy_options::recursive);
    } catch (...) {
      discard();
      throw;
    }
  }
  ~StagedCopy() { discard(); }
  StagedCopy(const StagedCopy&) = delete;
  StagedCopy& operator=(const StagedCopy&) = delete;

  void install(const std::filesystem::path& installed) const {
    std::filesystem::remove_all(installed);
    std::filesystem::rename(staging_, installed);
  }

 private:
  void discard() const {
    std::error_code ignored;
    std::filesystem::remove_all(staging_, ignored);
  }

  std::filesystem::path staging_;
};

}  // namespace

ExtensionService::Options ExtensionService::Options::fromEnvironment() {
  Options options;
  options.folders = ServiceFolders::fromEnvironment();
  std::error_code unknown;
  options.bundles = std::filesystem::read_symlink("/proc/self/exe", unknown).parent_path();
  const char* bundle = std::getenv("QLN_SYSEXT_BUNDLE");
  if (bundle != nullptr && bundle[0] != '\0') options.bundle = std::filesystem::absolute(bundle);
  return options;
}

ExtensionService::ExtensionService(Options options)
    : options_(std::move(options)), queue_("platform.sysext.service") {}

ExtensionService::~ExtensionService() = default;

void ExtensionService::submitRequest(std::shared_ptr<Request> request) {
  queue_.async([this, request = std::move(request)] { perform(*request); });
}

void ExtensionService::perform(const Request& request) const {
  try {
    const ExtensionFiles files(options_.folders, request.identifier());
    if (request.kind() == Request::Kind::kActivation) {
      activate(request, files);
    } else {
      deactivate(request, files);
    }
    request.deliverFinish(RequestResult::kCompleted);
  } catch (const RequestFailure& failure) {
    request.deliverFailure({kErrorDomain, failure.code(), failure.what()});
  } catch (const std::exception& failure) {
    request.deliverFailure({kErrorDomain, kErrorUnknown, failure.what()});
  }
}

void ExtensionService::activate(const Request& request, const ExtensionFiles& files) const {
  const std::string& identifier = request.identifier();
  const ExtensionBundle bundle = ExtensionBundle::open(
      options_.bundle.value_or(options_.bundles / (identifier + ".systemextension")), identifier);
  files.createFolders();
  const base::UniqueFd turn = takeRequestLock(files.requestLock);
  if (const std::optional<ExtensionProperties> installed = installedProperties(files, identifier)) {
    if (request.askReplacement(*installed, bundle.properties()) == ReplacementAction::kCancel) {
      throw RequestFailure(kErrorRequestCanceled, "the request was canceled; version " +
                                                      installed->bundleShortVersion +
                                                      " stays installed");
    }
  }
  const StagedCopy staged(bundle.folder(), files.staging);
  const ExtensionProcess process(files.instanceLock);
  process.stop(options_.stopGrace);
  staged.install(files.installed);
  try {
    process.start(files.installed / bundle.executable().filename(), files.log);
  } catch (...) {
    // A copy that does not run is not installed.
    std::error_code ignored;
    std::filesystem::remove_all(files.installed, ignored);
    throw;
  }
}

void ExtensionService::deactivate(const Request& request, const ExtensionFiles& files) const {
  files.createLockFolder();
  const base::UniqueFd turn = takeRequestLock(files.requestLock);
  const ExtensionProcess process(files.instanceLock);
  if (!std::filesystem::exists(files.installed) && !process.runningInstance()) {
    throw RequestFailure(kErrorExtensionNotFound, request.identifier() + " is not installed");
  }
  process.stop(options_.stopGrace);
  std::filesystem::remove_all(files.installed);
}

Manager& Manager::shared() {
  static ExtensionService service(ExtensionService::Options::fromEnvironment());
  return service;
}

}  // namespace platform::sysext
