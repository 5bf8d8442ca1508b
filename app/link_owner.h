// LinkOwner: the one rule for who may use the meter link. A sequence takes the link before its
// first exchange and releases it after its last; while one holds it, every other is refused.
// Taking is a compare-and-exchange from "nobody", so two threads can never both succeed.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

namespace vireo {

enum class LinkUser : uint8_t { kNone, kIdentification, kLive, kReadOut, kUpgrade };

const char* LinkUserName(LinkUser user);

class LinkOwner {
 public:
  // True when the link was free and now belongs to `user` (which must not be kNone).
  bool TryTake(LinkUser user) noexcept;
  // Gives the link back; only the holder can, a release by anyone else changes nothing and
  // returns false. The release listener then runs on the calling thread.
  bool Release(LinkUser user) noexcept;
  LinkUser Holder() const noexcept { return holder_.load(std::memory_order_acquire); }
  bool IsFree() const noexcept { return Holder() == LinkUser::kNone; }

  // Called after every release, on the releasing thread; set it before any thread takes the
  // link. It must not block and must not take the link itself.
  void SetReleaseListener(std::function<void()> listener) { listener_ = std::move(listener); }

 private:
  std::atomic<LinkUser> holder_{LinkUser::kNone};
  std::function<void()> listener_;
};

}  // namespace vireo
