#include "tools/view/encoder_queue.h"

namespace quillane::view {

EncoderQueue::EncoderQueue(std::string label, long capacity, Encode encode, Failed failed)
    : encode_(std::move(encode)),
      failed_(std::move(failed)),
      slots_(capacity),
      queue_(std::move(label)) {}

void EncoderQueue::submit(platform::media::SampleBufferRef frame, uint64_t number) {
  slots_.wait();
  queue_.async([this, frame = std::move(frame), number] {
    if (!failing_) {
      if (std::optional<std::string> failure = encode_(*frame, number)) {
        failing_ = true;
        failed_(*failure);
      }
    }
    slots_.signal();
  });
}

void EncoderQueue::finish() {
  queue_.sync([] {});
}

}  // namespace quillane::view
