#include "hidlink/handle_table.h"

#include <unistd.h>

#include <cstdint>
#include <limits>

namespace vireo::hidlink {

QelHidHandle HandleTable::Add(std::unique_ptr<OpenDevice> device) {
  if (!device || !device->fd || !device->closing)
    return HIDLINK_INVALID_HANDLE;
  auto entry = std::make_unique<Entry>();
  entry->device = std::move(device);
  std::lock_guard lock(mutex_);
  // After about a billion opens on a 32-bit build the count starts again; values still open
  // are passed over.
  QelHidHandle handle;
  do {
    handle = next_;
    next_ = next_ == std::numeric_limits<QelHidHandle>::max() ? kFirstHandle : next_ + 1;
  } while (open_.contains(handle));
  open_.emplace(handle, std::move(entry));
  return handle;
}

HandleTable::Use HandleTable::Find(QelHidHandle handle) {
  std::lock_guard lock(mutex_);
  const auto it = open_.find(handle);
  if (it == open_.end())
    return {};
  ++it->second->users;
  return Use(this, it->second.get());
}

bool HandleTable::Remove(QelHidHandle handle) {
  std::unique_ptr<Entry> entry;
  {
    std::unique_lock lock(mutex_);
    const auto it = open_.find(handle);
    if (it == open_.end())
      return false;
    entry = std::move(it->second);
    open_.erase(it);
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(entry->device->closing.Get(), &one, sizeof one);
    released_.wait(lock, [&] { return entry->users == 0; });
  }
  return true;  // the device closes here, after the lock is let go
}

void HandleTable::Release(Entry& entry) {
  std::lock_guard lock(mutex_);
  if (--entry.users == 0)
    released_.notify_all();
}

}  // namespace vireo::hidlink
