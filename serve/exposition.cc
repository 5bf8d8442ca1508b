#include "serve/exposition.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "base/iso_time.h"
#include "meter/readings_record.h"

namespace vireo::serve {

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
    s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (size_t at = 0;;) {
    const size_t next = text.find(separator, at);
    parts.push_back(text.substr(at, next - at));
    if (next == std::string_view::npos)
      return parts;
    at = next + 1;
  }
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// One family of metrics: its name as the samples carry it in the text format 0.0.4.
enum class Type { kGauge, kCounter, kInfo };
struct Family {
  const char* name;
  Type type;
  const char* unit;  // OpenMetrics UNIT, empty for none
  const char* help;
};

template <typename T>
void AppendNumber(std::string& out, T value) {
  if (std::isnan(value)) {
    out += "NaN";
  } else if (std::isinf(value)) {
    out += value > 0 ? "+Inf" : "-Inf";
  } else {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(std::string_view(buffer, static_cast<size_t>(result.ptr - buffer)));
  }
}

void AppendLabelValue(std::string& out, std::string_view value) {
  for (char c : value) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
}

class Writer {
 public:
  explicit Writer(MetricsFormat format) : openMetrics_(format == MetricsFormat::kOpenMetrics) {}

  // The HELP, TYPE (and UNIT) lines of a family; samples follow with Sample().
  void Begin(const Family& f) {
    family_ = f;
    std::string_view name = f.name;
    // OpenMetrics names the family without the suffix its samples carry.
    if (openMetrics_ && f.type == Type::kCounter)
      name.remove_suffix(sizeof "_total" - 1);
    if (openMetrics_ && f.type == Type::kInfo)
      name.remove_suffix(sizeof "_info" - 1);
    const char* type = f.type == Type::kCounter                ? "counter"
                       : f.type == Type::kInfo && openMetrics_ ? "info"
                                                               : "gauge";
    out_.append("# HELP ").append(name).append(" ").append(f.help).append("\n");
    out_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
    if (openMetrics_ && *f.unit)
      out_.append("# UNIT ").append(name).append(" ").append(f.unit).append("\n");
  }

  // A sample of the family begun last: meter="serial" and one more label when given.
  template <typename T>
  void Sample(std::string_view meter, T value, std::string_view label = {},
              std::string_view labelValue = {}) {
    out_ += family_.name;
    out_ += "{meter=\"";
    AppendLabelValue(out_, meter);
    out_ += '"';
    if (!label.empty()) {
      out_.append(",").append(label).append("=\"");
      AppendLabelValue(out_, labelValue);
      out_ += '"';
    }
    out_ += "} ";
    AppendNumber(out_, value);
    out_ += '\n';
  }

  void Raw(std::string_view text) { out_ += text; }

  std::string Finish() {
    if (openMetrics_)
      out_ += "# EOF\n";
    return std::move(out_);
  }

 private:
  const bool openMetrics_;
  Family family_{};
  std::string out_;
};

constexpr Family kBuildInfo = {"vireometer_build_info", Type::kInfo, "",
                               "The version of vireometer-cli serving these metrics."};
constexpr Family kConnected = {"vireometer_meter_connected", Type::kGauge, "",
                               "1 while the meter streams, 0 while it is unplugged or silent."};
constexpr Family kVoltage = {"vireometer_voltage_volts", Type::kGauge, "volts",
                             "Bus voltage the meter reads."};
constexpr Family kCurrent = {"vireometer_current_amperes", Type::kGauge, "amperes",
                             "Current through the meter; negative when it flows backwards."};
constexpr Family kPower = {"vireometer_power_watts", Type::kGauge, "watts",
                           "Power the meter reads."};
constexpr Family kDataLine = {"vireometer_data_line_volts", Type::kGauge, "volts",
                              "Voltage on the USB data lines D+ and D-."};
constexpr Family kTemperature = {"vireometer_temperature_celsius", Type::kGauge, "celsius",
                                 "Temperature of the meter and of its external probe."};
constexpr Family kEnergy = {"vireometer_energy_joules_total", Type::kCounter, "joules",
                            "Energy through the meter, integrated frame by frame over the time "
                            "the frames cover."};
constexpr Family kCharge = {"vireometer_charge_coulombs_total", Type::kCounter, "coulombs",
                            "Charge through the meter, integrated frame by frame over the time "
                            "the frames cover."};
constexpr Family kFrames = {"vireometer_frames_total", Type::kCounter, "",
                            "Valid frames received from the meter."};
constexpr Family kDropped = {"vireometer_frames_dropped_total", Type::kCounter, "",
                             "Reports or frames not used, by reason."};
constexpr Family kGaps = {"vireometer_gaps_total", Type::kCounter, "",
                          "Times the frames stopped for more than a second (unplugs, silences)."};
constexpr Family kGapSeconds = {"vireometer_gap_seconds_total", Type::kCounter, "seconds",
                                "Time not covered by frames, from the first frame on."};
constexpr Family kLastFrame = {"vireometer_last_frame_timestamp_seconds", Type::kGauge, "seconds",
                               "Wall-clock time of the newest frame."};
constexpr Family kAlarmActive = {"vireometer_alarm_active", Type::kGauge, "",
                                 "1 while the alarm is raised, 0 while it is not."};

}  // namespace

MetricsFormat ChooseMetricsFormat(std::string_view accept) {
  double openMetrics = 0;
  double text = 0;
  for (std::string_view range : Split(accept, ',')) {
    const std::vector<std::string_view> parts = Split(range, ';');
    const std::string_view type = Trim(parts[0]);
    double q = 1;
    std::string_view version;
    for (size_t i = 1; i < parts.size(); ++i) {
      const size_t eq = parts[i].find('=');
      if (eq == std::string_view::npos)
        continue;
      const std::string_view key = Trim(parts[i].substr(0, eq));
      const std::string_view value = Trim(parts[i].substr(eq + 1));
      if (EqualsNoCase(key, "q")) {
        q = std::strtod(std::string(value).c_str(), nullptr);
      } else if (EqualsNoCase(key, "version")) {
        version = value;
      }
    }
    if (EqualsNoCase(type, "application/openmetrics-text") &&
        (version.empty() || version == "1.0.0")) {
      openMetrics = std::max(openMetrics, q);
    } else if (EqualsNoCase(type, "text/plain") || EqualsNoCase(type, "text/*") || type == "*/*") {
      text = std::max(text, q);
    }
  }
  return openMetrics > 0 && openMetrics >= text ? MetricsFormat::kOpenMetrics
                                                : MetricsFormat::kText004;
}

const char* ContentType(MetricsFormat format) {
  return format == MetricsFormat::kOpenMetrics
             ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
             : "text/plain; version=0.0.4; charset=utf-8";
}

std::string WriteMetrics(const std::vector<MeterSnapshot>& meters, std::string_view version,
                         MetricsFormat format) {
  Writer w(format);
  w.Begin(kBuildInfo);
  w.Raw("vireometer_build_info{version=\"");
  std::string escaped;
  AppendLabelValue(escaped, version);
  w.Raw(escaped);
  w.Raw("\"} 1\n");

  w.Begin(kConnected);
  for (const MeterSnapshot& m : meters)
    w.Sample(m.serial, m.connected() ? 1 : 0);

  // Readings only while they are fresh.
  auto live = [](const MeterSnapshot& m) { return m.connected() && m.haveReadings; };
  const std::pair<const Family*, float ReadingsRecord::*> single[] = {
      {&kVoltage, &ReadingsRecord::voltage},
      {&kCurrent, &ReadingsRecord::current},
      {&kPower, &ReadingsRecord::power}};
  for (const auto& [family, field] : single) {
    w.Begin(*family);
    for (const MeterSnapshot& m : meters) {
      if (live(m))
        w.Sample(m.serial, m.readings.*field);
    }
  }
  w.Begin(kDataLine);
  for (const MeterSnapshot& m : meters) {
    if (!live(m))
      continue;
    w.Sample(m.serial, m.readings.dPlus, "line", "d+");
    w.Sample(m.serial, m.readings.dMinus, "line", "d-");
  }
  w.Begin(kTemperature);
  for (const MeterSnapshot& m : meters) {
    if (!live(m))
      continue;
    w.Sample(m.serial, m.readings.tempInternal, "sensor", "internal");
    if (IsExternalReading(m.readings.tempExternal))
      w.Sample(m.serial, m.readings.tempExternal, "sensor", "external");
  }

  w.Begin(kEnergy);
  for (const MeterSnapshot& m : meters)
    w.Sample(m.serial, m.energyJoules);
  w.Begin(kCharge);
  for (const MeterSnapshot& m : meters)
    w.Sample(m.serial, m.chargeCoulombs);
  w.Begin(kFrames);
  for (const MeterSnapshot& m : meters)
    w.Sample(m.serial, m.frames);
  w.Begin(kDropped);
  for (const MeterSnapshot& m : meters) {
    w.Sample(m.serial, m.dropped.badLength, "reason", "bad_length");
    w.Sample(m.serial, m.dropped.badChecksum, "reason", "bad_checksum");
    w.Sample(m.serial, m.dropped.wrongCode, "reason", "wrong_code");
    w.Sample(m.serial, m.dropped.queueFull, "reason", "queue_full");
  }
  w.Begin(kGaps);
  for (const MeterSnapshot& m : meters)
    w.Sample(m.serial, m.gaps);
  w.Begin(kGapSeconds);
  for (const MeterSnapshot& m : meters)
    w.Sample(m.serial, m.gapSeconds);
  w.Begin(kLastFrame);
  for (const MeterSnapshot& m : meters) {
    if (m.haveReadings)
      w.Sample(m.serial, m.lastFrameWallNs / 1e9);
  }
  if (std::any_of(meters.begin(), meters.end(), [](const auto& m) { return !m.alarms.empty(); })) {
    w.Begin(kAlarmActive);
    for (const MeterSnapshot& m : meters) {
      for (const AlarmStatus& a : m.alarms)
        w.Sample(m.serial, a.raised ? 1 : 0, "alarm", a.name);
    }
  }
  return w.Finish();
}

nlohmann::json JsonNumber(float value) {
  if (!std::isfinite(value))
    return nullptr;
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  double shortest = value;
  std::from_chars(buffer, end, shortest);
  return shortest;
}

std::string MetersJson(const std::vector<MeterSnapshot>& meters, std::string_view version) {
  const auto number = JsonNumber;
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const MeterSnapshot& m : meters) {
    nlohmann::ordered_json j;
    j["serial"] = m.serial;
    j["firmware"] = m.firmware;
    j["state"] = !m.streaming ? "disconnected" : m.silent ? "silent" : "streaming";
    if (m.haveReadings) {
      const ReadingsRecord& r = m.readings;
      j["readings"] = {{"voltage", number(r.voltage)},
                       {"current", number(r.current)},
                       {"power", number(r.power)},
                       {"dplus", number(r.dPlus)},
                       {"dminus", number(r.dMinus)},
                       {"temp_internal", number(r.tempInternal)},
                       {"temp_external", IsExternalReading(r.tempExternal) ? number(r.tempExternal)
                                                                           : nlohmann::json()}};
      j["last_frame"] = FormatUtc(m.lastFrameWallNs / 1000);
    } else {
      j["readings"] = nullptr;
      j["last_frame"] = nullptr;
    }
    j["energy_wh"] = m.energyJoules / 3600;
    j["charge_ah"] = m.chargeCoulombs / 3600;
    j["frames"] = m.frames;
    j["gaps"] = m.gaps;
    j["gap_seconds"] = m.gapSeconds;
    if (!m.alarms.empty()) {
      nlohmann::ordered_json alarms = nlohmann::ordered_json::object();
      for (const AlarmStatus& a : m.alarms)
        alarms[a.name] = a.raised;
      j["alarms"] = std::move(alarms);
    }
    list.push_back(std::move(j));
  }
  nlohmann::ordered_json out;
  out["version"] = version;
  out["meters"] = std::move(list);
  return out.dump() + "\n";
}

}  // namespace vireo::serve
