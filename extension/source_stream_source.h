#pragma once

#include "extension/stream_source_base.h"

namespace quillane {

// The output stream that applications watch. Starting and stopping it tells the device, which
// runs its frame clock while this stream runs. Called by the host on its own threads.
class SourceStreamSource : public StreamSourceBase {
 public:
  using StreamSourceBase::StreamSourceBase;

  void startStream() override;
  void stopStream() override;
};

}  // namespace quillane
