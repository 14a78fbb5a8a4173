#include "platform/sysext/system_extensions.h"

#include <utility>

namespace platform::sysext {

Request::Request(Kind kind, std::string identifier, std::shared_ptr<dispatch::SerialQueue> queue)
    : kind_(kind), identifier_(std::move(identifier)), queue_(std::move(queue)) {}

std::shared_ptr<Request> Request::activationRequest(std::string identifier,
                                                    std::shared_ptr<dispatch::SerialQueue> queue) {
  return std::shared_ptr<Request>(
      new Request(Kind::kActivation, std::move(identifier), std::move(queue)));
}

std::shared_ptr<Request> Request::deactivationRequest(
    std::string identifier, std::shared_ptr<dispatch::SerialQueue> queue) {
  return std::shared_ptr<Request>(
      new Request(Kind::kDeactivation, std::move(identifier), std::move(queue)));
}

// The work holds the delegate weakly and not the request, so it never holds the last reference
// to the queue it runs on.
void Request::deliver(std::function<void(RequestDelegate&)> answer) const {
  queue_->async([delegate = delegate_, answer = std::move(answer)] {
    if (const std::shared_ptr<RequestDelegate> alive = delegate.lock()) answer(*alive);
  });
}

void Request::deliverNeedsUserApproval() const {
  deliver([](RequestDelegate& delegate) { delegate.requestNeedsUserApproval(); });
}

void Request::deliverFinish(RequestResult result) const {
  deliver([result](RequestDelegate& delegate) { delegate.requestDidFinish(result); });
}

void Request::deliverFailure(Error error) const {
  deliver(
      [error = std::move(error)](RequestDelegate& delegate) { delegate.requestDidFail(error); });
}

ReplacementAction Request::askReplacement(const ExtensionProperties& existing,
                                          const ExtensionProperties& replacement) const {
  ReplacementAction action = ReplacementAction::kCancel;
  queue_->sync([&] {
    if (const std::shared_ptr<RequestDelegate> alive = delegate_.lock()) {
      action = alive->actionForReplacingExtension(existing, replacement);
    }
  });
  return action;
}

bool Request::beginPerforming() {
  State expected = State::kSubmitted;
  return state_.compare_exchange_strong(expected, State::kPerforming);
}

bool Request::cancel() {
  State expected = State::kSubmitted;
  return state_.compare_exchange_strong(expected, State::kCanceled) || expected == State::kCanceled;
}

}  // namespace platform::sysext
