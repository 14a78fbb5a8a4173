#include "platform/camera/pipewire/shared/video_stream.h"

#include <pipewire/pipewire.h>

#include <algorithm>
#include <cerrno>

namespace platform::camera::pipewire {

const pw_stream_events VideoStream::kSendingEvents = {.version = PW_VERSION_STREAM_EVENTS,
                                                      .state_changed = onStateChanged,
                                                      .param_changed = onParamChanged,
                                                      .add_buffer = onAddBuffer,
                                                      .remove_buffer = onRemoveBuffer,
                                                      .trigger_done = onTriggerDone};
const pw_stream_events VideoStream::kTakingEvents = {.version = PW_VERSION_STREAM_EVENTS,
                                                     .state_changed = onStateChanged,
                                                     .param_changed = onParamChanged,
                                                     .add_buffer = onAddBuffer,
                                                     .remove_buffer = onRemoveBuffer,
                                                     .process = onProcess};

VideoStream::VideoStream(PipeWireLoop& loop, VideoStreamSetup setup, Owner& owner)
    : loop_(loop), setup_(std::move(setup)), owner_(owner) {}

std::unique_ptr<VideoStream> VideoStream::connect(PipeWireLoop& loop, pw_core* core,
                                                  VideoStreamSetup setup, VideoParams& formats,
                                                  Owner& owner) {
  std::unique_ptr<VideoStream> made(new VideoStream(loop, std::move(setup), owner));
  const VideoStreamSetup& how = made->setup_;
  pw_properties* props = pw_properties_new(nullptr, nullptr);
  for (const auto& [key, value] : how.properties)
    pw_properties_set(props, key.c_str(), value.c_str());
  made->stream_ = pw_stream_new(core, how.name.c_str(), props);
  if (made->stream_ == nullptr) return nullptr;
  pw_stream_add_listener(made->stream_, &made->listener_,
                         how.output ? &kSendingEvents : &kTakingEvents, made.get());
  if (pw_stream_connect(made->stream_, how.output ? PW_DIRECTION_OUTPUT : PW_DIRECTION_INPUT,
                        PW_ID_ANY, static_cast<pw_stream_flags>(how.flags), formats.data(),
                        formats.count()) < 0) {
    return nullptr;
  }
  return made;
}

VideoStream::~VideoStream() {
  if (stream_ == nullptr) return;
  spa_hook_remove(&listener_);
  pw_stream_destroy(stream_);
}

uint32_t VideoStream::nodeID() const {
  return pw_stream_get_node_id(stream_);
}

pw_buffer* VideoStream::dequeue() {
  return pw_stream_dequeue_buffer(stream_);
}

void VideoStream::queue(pw_buffer* buffer) {
  pw_stream_queue_buffer(stream_, buffer);
}

void VideoStream::triggerProcess() {
  pw_stream_trigger_process(stream_);
}

void VideoStream::updateProperties(const Properties& properties) {
  std::vector<spa_dict_item> items;
  for (const auto& [key, value] : properties) {
    items.push_back(SPA_DICT_ITEM_INIT(key.c_str(), value.c_str()));
  }
  const spa_dict dict = SPA_DICT_INIT(items.data(), static_cast<uint32_t>(items.size()));
  pw_stream_update_properties(stream_, &dict);
}

void VideoStream::fail(const char* reason) {
  if (failed_) return;
  failed_ = true;
  owner_.failed(*this, reason != nullptr ? reason : "no reason given");
}

void VideoStream::onStateChanged(void* data, pw_stream_state, pw_stream_state state,
                                 const char* error) {
  auto* self = static_cast<VideoStream*>(data);
  self->loop_.assertConfined();
  self->streaming_ = state == PW_STREAM_STATE_STREAMING;
  if (state == PW_STREAM_STATE_ERROR) {
    self->fail(error);
  } else if (state == PW_STREAM_STATE_UNCONNECTED && error == nullptr) {
    // The daemon removed the node (with a reason, the connection went: its owner hears of that).
    self->fail("the node was removed");
  }
}

void VideoStream::onParamChanged(void* data, uint32_t id, const spa_pod* param) {
  auto* self = static_cast<VideoStream*>(data);
  self->loop_.assertConfined();
  if (id != SPA_PARAM_Format) return;
  const std::vector<VideoFormat>& only = self->setup_.only;
  self->negotiated_ = parseVideoFormat(param, self->setup_.pixelFormats);
  if (self->negotiated_ && !only.empty() &&
      std::find(only.begin(), only.end(), *self->negotiated_) == only.end()) {
    self->negotiated_.reset();
  }
  if (self->negotiated_) {
    VideoParams answer;
    if (self->setup_.buffers) answer.addBuffers(*self->negotiated_, *self->setup_.buffers);
    answer.addHeaderMeta();
    if (pw_stream_update_params(self->stream_, answer.data(), answer.count()) < 0) {
      self->fail("its buffers could not be asked for");
    }
  } else if (param != nullptr) {
    // Reported to the peer too; the error comes back as the stream's state.
    pw_stream_set_error(self->stream_, -EINVAL, "a format this stream does not take");
  }
  self->owner_.formatChanged(*self);
}

void VideoStream::onAddBuffer(void* data, pw_buffer* buffer) {
  auto* self = static_cast<VideoStream*>(data);
  self->loop_.assertConfined();
  self->owner_.bufferAdded(*self, buffer);
}

void VideoStream::onRemoveBuffer(void* data, pw_buffer* buffer) {
  auto* self = static_cast<VideoStream*>(data);
  self->loop_.assertConfined();
  self->owner_.bufferRemoved(*self, buffer);
}

void VideoStream::onProcess(void* data) {
  auto* self = static_cast<VideoStream*>(data);
  self->loop_.assertConfined();
  self->owner_.process(*self);
}

void VideoStream::onTriggerDone(void* data) {
  auto* self = static_cast<VideoStream*>(data);
  self->loop_.assertConfined();
  self->owner_.triggerDone(*self);
}

}  // namespace platform::camera::pipewire
