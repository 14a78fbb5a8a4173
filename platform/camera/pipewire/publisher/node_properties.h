#pragma once

#include "platform/camera/extension_objects.h"
#include "platform/camera/pipewire/shared/registry_view.h"

// What a published stream's node tells clients, read from the extension's sources: the object
// tree's properties of its device, its provider and itself. These call into the sources: on the
// loop thread or the publisher's callback queue, never on a thread of the extension's.
namespace platform::camera::pipewire {

// Every property a stream's node carries; `index` is its place in the device's list.
Properties publishedProperties(const ExtensionProvider& provider, const ExtensionDevice& device,
                               const ExtensionStream& stream, int index);

// The sink counts the stream's source reports now; empty for a stream that reports none.
Properties sinkCounts(const ExtensionStream& stream);

}  // namespace platform::camera::pipewire
