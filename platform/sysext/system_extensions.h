#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/serial_queue.h"

// The system-extension service (SystemExtensions): requests to activate or deactivate an
// extension, named by its bundle identifier, answered through a delegate on the request's queue.
namespace platform::sysext {

// An installed extension, or the one a request brings.
struct ExtensionProperties {
  std::string bundleIdentifier;
  std::string bundleShortVersion;
  std::string bundleVersion;
};

// The service's errors: kErrorDomain and one of the codes below.
inline constexpr char kErrorDomain[] = "SystemExtensionErrorDomain";
inline constexpr int64_t kErrorUnknown = 1;
inline constexpr int64_t kErrorExtensionNotFound = 4;
inline constexpr int64_t kErrorValidationFailed = 9;
inline constexpr int64_t kErrorRequestCanceled = 11;

struct Error {
  std::string domain;
  int64_t code = 0;
  std::string localizedDescription;
};

// How a request finished; the service may also answer with other codes.
enum class RequestResult : int64_t { kCompleted = 0, kWillCompleteAfterReboot = 1 };

enum class ReplacementAction : int64_t { kCancel = 0, kReplace = 1 };

// Receives the answers to one request. Called on the request's queue, one call at a time.
class RequestDelegate {
 public:
  virtual ~RequestDelegate() = default;

  // The request would replace an installed extension: go on (replace) or stop (cancel).
  virtual ReplacementAction actionForReplacingExtension(const ExtensionProperties& existing,
                                                        const ExtensionProperties& replacement) = 0;
  virtual void requestNeedsUserApproval() = 0;
  virtual void requestDidFinish(RequestResult result) = 0;
  virtual void requestDidFail(const Error& error) = 0;
};

// One activation or deactivation of the extension `identifier`.
class Request {
 public:
  enum class Kind { kActivation, kDeactivation };

  static std::shared_ptr<Request> activationRequest(std::string identifier,
                                                    std::shared_ptr<dispatch::SerialQueue> queue);
  static std::shared_ptr<Request> deactivationRequest(std::string identifier,
                                                      std::shared_ptr<dispatch::SerialQueue> queue);

  Kind kind() const { return kind_; }
  const std::string& identifier() const { return identifier_; }
  const dispatch::SerialQueue& queue() const { return *queue_; }

  // Held weakly: whoever wants the answers keeps the delegate alive. Set before submitting.
  void setDelegate(std::weak_ptr<RequestDelegate> delegate) { delegate_ = std::move(delegate); }

  // The service's side. Each hands one answer to the delegate on the request's queue and returns
  // at once; an answer finds nobody once the delegate has gone. Any thread but the queue's.
  void deliverNeedsUserApproval() const;
  void deliverFinish(RequestResult result) const;
  void deliverFailure(Error error) const;
  // Asks the delegate on the request's queue and waits for the answer; cancel when the delegate
  // has gone. Any thread but the queue's.
  ReplacementAction askReplacement(const ExtensionProperties& existing,
                                   const ExtensionProperties& replacement) const;

  // The service claims the request before it changes anything; false when the caller canceled it
  // first, and the service then leaves everything as it is. Any thread.
  bool beginPerforming();
  // True once the caller canceled the request. Any thread.
  bool isCanceled() const { return state_ == State::kCanceled; }

  // The caller's side, when it stops waiting for the answers: true when the service had not
  // begun to perform the request, which then never acts; false when it had begun, and its answer
  // is on the way. Any thread.
  bool cancel();

 private:
  enum class State { kSubmitted, kPerforming, kCanceled };

  Request(Kind kind, std::string identifier, std::shared_ptr<dispatch::SerialQueue> queue);
  void deliver(std::function<void(RequestDelegate&)> answer) const;

  const Kind kind_;
  const std::string identifier_;
  const std::shared_ptr<dispatch::SerialQueue> queue_;
  std::weak_ptr<RequestDelegate> delegate_;
  std::atomic<State> state_{State::kSubmitted};
};

// Hands requests to the service (OSSystemExtensionManager).
class Manager {
 public:
  // Performs the requests already submitted first; a canceled one that has not begun ends at
  // once.
  virtual ~Manager() = default;

  // Returns at once; the answers arrive on the request's queue. Any thread.
  virtual void submitRequest(std::shared_ptr<Request> request) = 0;
};

// The system-extension service of this machine, for a program's main() to make and hand to the
// code that submits requests.
std::unique_ptr<Manager> createSystemExtensionManager();

}  // namespace platform::sysext
