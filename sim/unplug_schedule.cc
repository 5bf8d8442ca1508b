#include "sim/unplug_schedule.h"

namespace vireo::sim {

namespace {

UnplugScript::Clock::duration Seconds(double s) {
  return std::chrono::duration_cast<UnplugScript::Clock::duration>(
      std::chrono::duration<double>(s));
}

}  // namespace

void UnplugScript::Begin(Clock::time_point now) {
  if (begun_ || !schedule_.Active())
    return;
  begun_ = true;
  next_ = now + Seconds(schedule_.every);
}

UnplugScript::Action UnplugScript::Step(Clock::time_point now) {
  if (!begun_ || now < next_)
    return Action::kNone;
  if (plugged_) {
    plugged_ = false;
    next_ = now + Seconds(schedule_.away);
    return Action::kUnplug;
  }
  plugged_ = true;
  ++done_;
  next_ = schedule_.cycles != 0 && done_ >= schedule_.cycles ? Clock::time_point::max()
                                                             : now + Seconds(schedule_.every);
  return Action::kPlug;
}

UnplugScript::Clock::time_point UnplugScript::Next() const {
  return next_;
}

}  // namespace vireo::sim
