#ifndef HIDLINK_HANDLE_TABLE_H
#define HIDLINK_HANDLE_TABLE_H

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "hidlink/backend.h"

namespace vireo::hidlink {

// The last failure of the transfers on one handle. Reads and writes may fail on different
// threads while another asks, so it has a lock of its own.
class FailureRecord {
 public:
  void Set(Failure failure) {
    std::lock_guard lock(mutex_);
    failure_ = std::move(failure);
  }
  Failure Get() const {
    std::lock_guard lock(mutex_);
    return failure_;
  }

 private:
  mutable std::mutex mutex_;
  Failure failure_;  // guarded by mutex_
};

// A device that QelHidOpen opened: its descriptor, the backend that talks to it, the path it
// was opened on, an eventfd that tells the transfers waiting on it that it is being closed, and
// the last failure of a transfer.
struct OpenDevice {
  UniqueFd fd;
  UniqueFd closing;
  const Backend* backend = nullptr;
  std::string path;
  mutable FailureRecord lastFailure;
};

// The handles that hidlink gave out, each mapped to the device it owns. A handle value is
// never given out twice in a process, and none is a small number, so a closed handle, a
// descriptor number or any other value that hidlink did not return finds nothing, and never
// reaches a descriptor that belongs to someone else. Thread-safe.
class HandleTable {
 public:
  class Use;

  // Takes the device over; HIDLINK_INVALID_HANDLE (and the device closed) if it cannot.
  QelHidHandle Add(std::unique_ptr<OpenDevice> device);
  // The device of an open handle, held open while the Use lives; empty for anything else.
  Use Find(QelHidHandle handle);
  // Forgets the handle, wakes the transfers waiting on it, waits until they have let go and
  // closes the device. False if the handle is not open.
  bool Remove(QelHidHandle handle);

  // The first value given out; the ones after it count up.
  static constexpr QelHidHandle kFirstHandle = QelHidHandle{1} << 30;

 private:
  struct Entry {
    std::unique_ptr<OpenDevice> device;
    int users = 0;  // guarded by mutex_
  };
  void Release(Entry& entry);

  std::mutex mutex_;
  std::condition_variable released_;
  std::unordered_map<QelHidHandle, std::unique_ptr<Entry>> open_;  // guarded by mutex_
  QelHidHandle next_ = kFirstHandle;                               // guarded by mutex_
};

// Keeps one open device from being closed while a call uses it.
class HandleTable::Use {
 public:
  Use() = default;
  Use(Use&& other) noexcept
      : table_(std::exchange(other.table_, nullptr)),
        entry_(std::exchange(other.entry_, nullptr)) {}
  Use& operator=(Use&&) = delete;
  Use(const Use&) = delete;
  ~Use() {
    if (entry_)
      table_->Release(*entry_);
  }

  explicit operator bool() const { return entry_ != nullptr; }
  const OpenDevice* operator->() const { return entry_->device.get(); }
  const OpenDevice& operator*() const { return *entry_->device; }

 private:
  friend class HandleTable;
  Use(HandleTable* table, Entry* entry) : table_(table), entry_(entry) {}
  HandleTable* table_ = nullptr;
  Entry* entry_ = nullptr;
};

}  // namespace vireo::hidlink

#endif  // HIDLINK_HANDLE_TABLE_H
