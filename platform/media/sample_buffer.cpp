#include "platform/media/sample_buffer.h"

#include "platform/faults/fault_injection.h"

namespace platform::media {

SampleBufferRef SampleBuffer::createForImageBuffer(PixelBufferRef imageBuffer, bool dataReady,
                                                   FormatDescriptionRef description,
                                                   const SampleTimingInfo& timing,
                                                   uint64_t sequenceNumber) {
  if (!imageBuffer || !description || !description->matchesImageBuffer(*imageBuffer)) {
    return nullptr;
  }
  if (faults::shouldFail(faults::Fault::CreateSampleBuffer)) return nullptr;
  return std::make_shared<SampleBuffer>(std::move(imageBuffer), dataReady, std::move(description),
                                        timing, sequenceNumber);
}

}  // namespace platform::media
