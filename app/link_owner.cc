#include "app/link_owner.h"

namespace vireo {

const char* LinkUserName(LinkUser user) {
  switch (user) {
    case LinkUser::kNone:
      return "none";
    case LinkUser::kIdentification:
      return "identification";
    case LinkUser::kLive:
      return "live";
    case LinkUser::kReadOut:
      return "read-out";
    case LinkUser::kUpgrade:
      return "upgrade";
  }
  return "?";
}

bool LinkOwner::TryTake(LinkUser user) noexcept {
  if (user == LinkUser::kNone)
    return false;
  LinkUser expected = LinkUser::kNone;
  return holder_.compare_exchange_strong(expected, user, std::memory_order_acq_rel,
                                         std::memory_order_acquire);
}

bool LinkOwner::Release(LinkUser user) noexcept {
  LinkUser expected = user;
  if (user == LinkUser::kNone ||
      !holder_.compare_exchange_strong(expected, LinkUser::kNone, std::memory_order_acq_rel,
                                       std::memory_order_acquire))
    return false;
  if (listener_) {
    try {
      listener_();
    } catch (...) {
      // A listener that throws must not take the release back.
    }
  }
  return true;
}

}  // namespace vireo
