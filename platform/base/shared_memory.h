#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/base/unique_fd.h"

namespace platform::base {

// A read-write shared mapping of a file; unmaps itself when destroyed. Move-only. The mapped
// bytes may be read and written from any thread; the mapping object itself is not synchronised.
class SharedMapping {
 public:
  // Maps the first `size` bytes of `fd` shared, read-write; nullopt when the system refuses
  // (size 0, a read-only descriptor, a write-sealed file, no address space).
  static std::optional<SharedMapping> map(const UniqueFd& fd, std::size_t size);
  // The same, read-only: for memory a peer writes and this process only reads.
  static std::optional<SharedMapping> mapReadOnly(const UniqueFd& fd, std::size_t size);

  SharedMapping() = default;
  ~SharedMapping();
  SharedMapping(SharedMapping&& other) noexcept;
  SharedMapping& operator=(SharedMapping&& other) noexcept;
  SharedMapping(const SharedMapping&) = delete;
  SharedMapping& operator=(const SharedMapping&) = delete;

  uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  SharedMapping(uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  void unmap();

  uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// Creates anonymous shared memory of `size` bytes, sealed so that it can neither grow nor
// shrink and its seals cannot change; the descriptor may be sent to another process, which can
// map it without fearing that the memory is cut short under it. Invalid on failure.
UniqueFd createSealedMemory(const char* name, std::size_t size);

// The size of `fd` when it is shared memory sealed against growing and shrinking; nullopt for
// any other descriptor. Lets a receiver check memory from an untrusted peer before mapping it.
std::optional<std::size_t> sealedMemorySize(const UniqueFd& fd);

}  // namespace platform::base
