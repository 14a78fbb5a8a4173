#include "platform/base/shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <utility>

namespace platform::base {

namespace {

std::optional<std::pair<uint8_t*, std::size_t>> mapShared(const UniqueFd& fd, std::size_t size,
                                                          int protection) {
  if (!fd || size == 0) return std::nullopt;
  void* address = ::mmap(nullptr, size, protection, MAP_SHARED, fd.get(), 0);
  if (address == MAP_FAILED) return std::nullopt;
  return std::pair(static_cast<uint8_t*>(address), size);
}

}  // namespace

std::optional<SharedMapping> SharedMapping::map(const UniqueFd& fd, std::size_t size) {
  auto mapped = mapShared(fd, size, PROT_READ | PROT_WRITE);
  if (!mapped) return std::nullopt;
  return SharedMapping(mapped->first, mapped->second);
}

std::optional<SharedMapping> SharedMapping::mapReadOnly(const UniqueFd& fd, std::size_t size) {
  auto mapped = mapShared(fd, size, PROT_READ);
  if (!mapped) return std::nullopt;
  return SharedMapping(mapped->first, mapped->second);
}

SharedMapping::~SharedMapping() {
  unmap();
}

SharedMapping::SharedMapping(SharedMapping&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

SharedMapping& SharedMapping::operator=(SharedMapping&& other) noexcept {
  if (this != &other) {
    unmap();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void SharedMapping::unmap() {
  if (data_ != nullptr) ::munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

UniqueFd createSealedMemory(const char* name, std::size_t size) {
  UniqueFd fd(::memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!fd) return {};
  if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) return {};
  if (::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) return {};
  return fd;
}

std::optional<std::size_t> sealedMemorySize(const UniqueFd& fd) {
  if (!fd) return std::nullopt;
  int seals = ::fcntl(fd.get(), F_GET_SEALS);
  constexpr int kSizeSeals = F_SEAL_SHRINK | F_SEAL_GROW;
  if (seals < 0 || (seals & kSizeSeals) != kSizeSeals) return std::nullopt;
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0 || status.st_size < 0) return std::nullopt;
  return static_cast<std::size_t>(status.st_size);
}

}  // namespace platform::base
