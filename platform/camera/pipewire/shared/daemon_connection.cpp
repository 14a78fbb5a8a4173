#include "platform/camera/pipewire/shared/daemon_connection.h"

#include <pipewire/pipewire.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace platform::camera::pipewire {

const pw_core_events DaemonConnection::kCoreEvents = {.version = PW_VERSION_CORE_EVENTS,
                                                      .info = onCoreInfo,
                                                      .done = onCoreDone,
                                                      .error = onCoreError};

DaemonConnection::DaemonConnection(PipeWireLoop& loop, std::string clientName, Events events,
                                   bool reportFailures)
    : loop_(loop),
      clientName_(std::move(clientName)),
      events_(std::move(events)),
      reportFailures_(reportFailures) {}

DaemonConnection::~DaemonConnection() {
  PipeWireLoop::Lock lock(loop_);
  stopped_ = true;
  if (retryTimer_ != nullptr) pw_loop_destroy_source(loop_.loop(), retryTimer_);
  if (core_ != nullptr) {
    spa_hook_remove(&coreListener_);
    pw_core_disconnect(core_);
    core_ = nullptr;
  }
}

void DaemonConnection::start() {
  stopped_ = false;
  // From the loop thread, so that the owner makes its objects there.
  scheduleRetry(std::chrono::nanoseconds(1));
}

bool DaemonConnection::awaitFirstTry(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  base::MutexLock lock(syncMutex_);
  while (tries_ == 0) {
    if (!lock.waitUntil(syncChanged_, deadline)) break;
  }
  return connected_;
}

void DaemonConnection::stop() {
  stopped_ = true;
  disconnect();
}

void DaemonConnection::connect() {
  if (stopped_ || core_ != nullptr) return;
  pw_properties* props = pw_properties_new(PW_KEY_APP_NAME, clientName_.c_str(), nullptr);
  core_ = pw_context_connect(loop_.context(), props, 0);
  if (core_ == nullptr) {
    {
      base::MutexLock lock(syncMutex_);
      ++tries_;
    }
    syncChanged_.notify_all();
    if (reportFailures_) {
      std::fprintf(stderr, "%s: cannot reach the PipeWire daemon (%s); retrying\n",
                   clientName_.c_str(), std::strerror(errno));
      reportFailures_ = false;
    }
    scheduleRetry(kRetryInterval);
    return;
  }
  spa_zero(coreListener_);
  pw_core_add_listener(core_, &coreListener_, &kCoreEvents, this);
  if (events_.connected) events_.connected(core_);
  {
    base::MutexLock lock(syncMutex_);
    ++connectionCount_;
    ++tries_;
    connected_ = true;
    lastDoneSeq_ = -1;
  }
  syncChanged_.notify_all();
}

void DaemonConnection::disconnect() {
  if (core_ == nullptr) return;
  if (events_.lost) events_.lost();
  spa_hook_remove(&coreListener_);
  pw_core_disconnect(core_);
  core_ = nullptr;
  daemonCookie_.reset();
  {
    base::MutexLock lock(syncMutex_);
    ++connectionCount_;
    connected_ = false;
  }
  syncChanged_.notify_all();
}

void DaemonConnection::scheduleRetry(std::chrono::nanoseconds delay) {
  if (stopped_) return;
  if (retryTimer_ == nullptr) retryTimer_ = pw_loop_add_timer(loop_.loop(), onRetry, this);
  timespec value{static_cast<time_t>(delay.count() / 1'000'000'000),
                 static_cast<long>(delay.count() % 1'000'000'000)};
  pw_loop_update_timer(loop_.loop(), retryTimer_, &value, nullptr, false);
}

void DaemonConnection::onRetry(void* data, uint64_t) {
  auto* self = static_cast<DaemonConnection*>(data);
  self->loop_.assertConfined();
  if (self->broken_) {
    self->broken_ = false;
    self->disconnect();
  }
  self->connect();
}

void DaemonConnection::onCoreInfo(void* data, const pw_core_info* info) {
  auto* self = static_cast<DaemonConnection*>(data);
  self->loop_.assertConfined();
  self->daemonCookie_ = info->cookie;
}

void DaemonConnection::onCoreDone(void* data, uint32_t id, int seq) {
  auto* self = static_cast<DaemonConnection*>(data);
  self->loop_.assertConfined();
  if (id != PW_ID_CORE) return;
  {
    base::MutexLock lock(self->syncMutex_);
    self->lastDoneSeq_ = seq;
  }
  self->syncChanged_.notify_all();
}

void DaemonConnection::onCoreError(void* data, uint32_t id, int, int res, const char*) {
  auto* self = static_cast<DaemonConnection*>(data);
  self->loop_.assertConfined();
  // Errors about single objects belong to their owners; a broken connection ends the core, from
  // the timer, since a core must not go inside its own event.
  if (id != PW_ID_CORE || res != -EPIPE || self->broken_) return;
  self->broken_ = true;
  self->scheduleRetry(std::chrono::nanoseconds(1));
}

bool DaemonConnection::roundTrip(std::chrono::milliseconds timeout) {
  int seq = 0;
  uint64_t connection = 0;
  {
    PipeWireLoop::Lock lock(loop_);
    if (core_ == nullptr) return false;
    seq = pw_core_sync(core_, PW_ID_CORE, 0);
    base::MutexLock syncLock(syncMutex_);
    connection = connectionCount_;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  base::MutexLock syncLock(syncMutex_);
  while (connectionCount_ == connection && lastDoneSeq_ < seq) {
    if (!syncLock.waitUntil(syncChanged_, deadline)) break;
  }
  return connectionCount_ == connection && lastDoneSeq_ >= seq;
}

}  // namespace platform::camera::pipewire
