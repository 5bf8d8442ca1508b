#include "sim/load_profile.h"

#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>

namespace vireo::sim {

namespace {

std::optional<double> Number(const std::string& text) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(v))
    return std::nullopt;
  return v;
}

constexpr double kCableOhms = 0.05;  // the voltage sags a little under load

}  // namespace

std::shared_ptr<const LoadProfile> LoadProfile::Parse(const std::string& text, std::string& error) {
  auto profile = std::make_shared<LoadProfile>();
  const size_t colon = text.find(':');
  const std::string name = text.substr(0, colon);
  const std::string args = colon == std::string::npos ? "" : text.substr(colon + 1);
  if (name == "steady") {
    const size_t comma = args.find(',');
    const auto volts = Number(args.substr(0, comma));
    const auto amps = comma == std::string::npos ? std::nullopt : Number(args.substr(comma + 1));
    if (!volts || !amps || *volts < 0 || *volts > 60 || std::fabs(*amps) > 20) {
      error = "steady needs VOLTS,AMPS (0..60 V, -20..20 A)";
      return nullptr;
    }
    profile->kind_ = Kind::kSteady;
    profile->steadyVolts_ = *volts;
    profile->steadyAmps_ = *amps;
    return profile;
  }
  if (name != "charge") {
    error = "unknown load profile '" + name + "' (steady or charge)";
    return nullptr;
  }
  profile->kind_ = Kind::kCharge;
  Charge& c = profile->charge_;
  const std::map<std::string, double*> keys = {
      {"idle", &c.idle},   {"rise", &c.rise}, {"hold", &c.hold},
      {"taper", &c.taper}, {"rest", &c.rest}, {"idle_a", &c.idleAmps},
      {"peak", &c.peak},   {"done", &c.done}, {"volts", &c.volts}};
  std::stringstream items(args);
  std::string item;
  while (std::getline(items, item, ',')) {
    if (item.empty())
      continue;
    const size_t eq = item.find('=');
    const std::string key = item.substr(0, eq);
    const auto value = eq == std::string::npos ? std::nullopt : Number(item.substr(eq + 1));
    if (!value) {
      error = "charge: '" + item + "' is not key=number";
      return nullptr;
    }
    if (key == "repeat") {
      c.repeat = *value != 0;
      continue;
    }
    const auto field = keys.find(key);
    if (field == keys.end()) {
      error = "charge: unknown key '" + key + "'";
      return nullptr;
    }
    *field->second = *value;
  }
  if (c.idle < 0 || c.rise < 0 || c.hold < 0 || c.taper < 0 || c.rest < 0 || !(c.Period() > 0) ||
      c.volts < 0 || c.volts > 60 || std::fabs(c.peak) > 20 || std::fabs(c.done) > 20 ||
      std::fabs(c.idleAmps) > 20) {
    error = "charge: times must be 0 or more (and not all 0), currents within 20 A";
    return nullptr;
  }
  return profile;
}

double LoadProfile::CurrentAt(double seconds) const {
  if (kind_ == Kind::kSteady)
    return steadyAmps_;
  const Charge& c = charge_;
  double t = std::max(0.0, seconds);
  if (c.repeat)
    t = std::fmod(t, c.Period());
  if (t < c.idle)
    return c.idleAmps;
  t -= c.idle;
  if (t < c.rise)
    return c.idleAmps + (c.peak - c.idleAmps) * t / c.rise;
  t -= c.rise;
  if (t < c.hold)
    return c.peak;
  t -= c.hold;
  if (t < c.taper)
    return c.peak + (c.done - c.peak) * t / c.taper;
  return c.done;
}

double LoadProfile::VoltageAt(double seconds) const {
  const double volts = kind_ == Kind::kSteady ? steadyVolts_ : charge_.volts;
  return volts - kCableOhms * CurrentAt(seconds);
}

void LoadProfile::Shape(double seconds, ReadingsRecord& r) const {
  const auto current = static_cast<float>(CurrentAt(seconds));
  const auto voltage = static_cast<float>(VoltageAt(seconds));
  r.voltage = voltage;
  r.current = current;
  r.power = voltage * current;
  r.voltageFast = voltage;
  r.currentFast = current;
}

}  // namespace vireo::sim
