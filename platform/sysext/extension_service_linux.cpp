#include "platform/sysext/extension_service_linux.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cstdlib>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/base/unique_fd.h"
#include "platform/sysext/descriptors_linux.h"
#include "platform/sysext/extension_bundle_linux.h"
#include "platform/sysext/extension_process_linux.h"
#include "platform/sysext/extension_registration_linux.h"
#include "platform/sysext/request_failure_linux.h"

namespace platform::sysext {
namespace {

// How often a request waiting for its turn looks whether it was canceled meanwhile.
constexpr std::chrono::milliseconds kTurnPoll{20};

// Waits for the extension's request lock, so that requests of several processes take turns,
// then claims the request. Throws when the request was canceled first: it then never acts,
// whoever holds the lock and for however long.
base::UniqueFd takeTurn(const std::filesystem::path& path, Request& request) {
  base::UniqueFd lock = clearOfStandardStreams(
      base::UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)));
  if (!lock) throw systemFailure("cannot open " + path.string());
  while (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) throw systemFailure("cannot lock " + path.string());
    if (request.isCanceled()) break;
    std::this_thread::sleep_for(kTurnPoll);
  }
  if (!request.beginPerforming()) {
    throw RequestFailure(kErrorRequestCanceled, "the request was canceled before its turn came");
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

// A copy of the bundle, with the launcher, beside the installed one until install() moves it
// into its place and the installed one aside, where rollBack() finds it again. Whatever is left
// of either goes with the object.
class StagedCopy {
 public:
  StagedCopy(const std::filesystem::path& bundle, const std::filesystem::path& launcher,
             const ExtensionFiles& files)
      : files_(files) {
    discard();
    try {
      std::filesystem::copy(bundle, files_.staging, std::filesystem::copy_options::recursive);
      std::filesystem::copy_file(launcher, files_.staging / files_.launcher.filename(),
                                 std::filesystem::copy_options::overwrite_existing);
    } catch (const std::filesystem::filesystem_error& failure) {
      discard();
      throw RequestFailure(kErrorUnknown, std::string("cannot copy the bundle: ") + failure.what());
    }
  }
  ~StagedCopy() { discard(); }
  StagedCopy(const StagedCopy&) = delete;
  StagedCopy& operator=(const StagedCopy&) = delete;

  void install() const {
    if (std::filesystem::exists(files_.installed)) {
      std::filesystem::rename(files_.installed, files_.previous);
    }
    std::filesystem::rename(files_.staging, files_.installed);
  }

  // The copy that install() replaced is the installed one again; none when there was none.
  void rollBack() const {
    std::filesystem::remove_all(files_.installed);
    if (std::filesystem::exists(files_.previous)) {
      std::filesystem::rename(files_.previous, files_.installed);
    }
  }

 private:
  void discard() const {
    std::error_code ignored;
    std::filesystem::remove_all(files_.staging, ignored);
    std::filesystem::remove_all(files_.previous, ignored);
  }

  const ExtensionFiles& files_;
};

}  // namespace

ExtensionService::Options ExtensionService::Options::fromEnvironment() {
  Options options;
  options.folders = ServiceFolders::fromEnvironment();
  std::error_code unknown;
  // Relative to this program, so an installed tree works wherever it was put.
  options.bundles = (std::filesystem::read_symlink("/proc/self/exe", unknown).parent_path() / ".." /
                     QUILLANE_SYSEXT_FOLDER)
                        .lexically_normal();
  options.launcher = options.bundles / QUILLANE_SYSEXT_LAUNCHER;
  const char* bundle = std::getenv("QLN_SYSEXT_BUNDLE");
  if (bundle != nullptr && bundle[0] != '\0') options.bundle = std::filesystem::absolute(bundle);
  return options;
}

ExtensionService::ExtensionService(Options options)
    : options_(std::move(options)),
      serviceManager_(options_.serviceManager),
      queue_("platform.sysext.service") {}

ExtensionService::~ExtensionService() = default;

void ExtensionService::submitRequest(std::shared_ptr<Request> request) {
  queue_.async([this, request = std::move(request)] { perform(*request); });
}

void ExtensionService::perform(Request& request) const {
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

void ExtensionService::activate(Request& request, const ExtensionFiles& files) const {
  const std::string& identifier = request.identifier();
  const ExtensionBundle bundle = ExtensionBundle::open(
      options_.bundle.value_or(options_.bundles / (identifier + ".systemextension")), identifier);
  if (bundle.executable().filename() == files.launcher.filename()) {
    throw RequestFailure(
        kErrorValidationFailed,
        "the bundle's executable takes the launcher's name " + files.launcher.filename().string());
  }
  files.createFolders();
  const base::UniqueFd turn = takeTurn(files.requestLock, request);
  const std::optional<ExtensionProperties> installed = installedProperties(files, identifier);
  if (installed &&
      request.askReplacement(*installed, bundle.properties()) == ReplacementAction::kCancel) {
    throw RequestFailure(
        kErrorRequestCanceled,
        "the request was canceled; version " + installed->bundleShortVersion + " stays installed");
  }
  const StagedCopy staged(bundle.folder(), options_.launcher, files);
  const ExtensionRegistration registration(options_.folders, identifier, serviceManager_);
  const bool wasRunning = ExtensionProcess(files.instanceLock).runningInstance().has_value();
  registration.stop(options_.stopGrace);
  try {
    staged.install();
    registration.registerAndStart();
  } catch (...) {
    // A copy that does not run is not installed: the one it replaced is, and runs as before.
    staged.rollBack();
    if (!installed) {
      registration.remove();
    } else if (wasRunning) {
      try {
        registration.registerAndStart();
      } catch (const std::exception&) {
        // The report is about the copy that was asked for.
      }
    }
    throw;
  }
}

void ExtensionService::deactivate(Request& request, const ExtensionFiles& files) const {
  files.createLockFolder();
  const base::UniqueFd turn = takeTurn(files.requestLock, request);
  const bool installed = std::filesystem::exists(files.installed);
  const bool running = ExtensionProcess(files.instanceLock).runningInstance().has_value();
  const ExtensionRegistration registration(options_.folders, request.identifier(), serviceManager_);
  registration.stop(options_.stopGrace);
  registration.remove();
  std::filesystem::remove_all(files.installed);
  if (!installed && !running) {
    throw RequestFailure(kErrorExtensionNotFound, request.identifier() + " is not installed");
  }
}

std::unique_ptr<Manager> createSystemExtensionManager() {
  return std::make_unique<ExtensionService>(ExtensionService::Options::fromEnvironment());
}

}  // namespace platform::sysext
