#include "extension/source_stream_source.h"

#include "extension/device_source.h"

namespace quillane {

// The flag is written before the device is told: its clock update reads it.
void SourceStreamSource::startStream() {
  StreamSourceBase::startStream();
  device_.sourceStateChanged();
}

void SourceStreamSource::stopStream() {
  StreamSourceBase::stopStream();
  device_.sourceStateChanged();
}

}  // namespace quillane
