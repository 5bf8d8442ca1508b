#include "record/rows.h"

#include <cerrno>
#include <cmath>
#include <nlohmann/json.hpp>

#include "base/iso_time.h"

namespace vireo::record {

std::optional<int64_t> ToStored(double value, double scale) {
  const double scaled = value * scale;
  if (!std::isfinite(scaled) || std::fabs(scaled) > 9e18)
    return std::nullopt;
  return std::llround(scaled);
}

StoredValues ToStored(const ReadingsRecord& readings) {
  const Quantities q = QuantitiesOf(readings);
  StoredValues v;
  for (size_t i = 0; i < kQuantityCount; ++i)
    v[i] = ToStored(q[i], kQuantities[i].scale);
  return v;
}

std::string CsvHeader() {
  std::string header = "t";
  for (const QuantityInfo& q : kQuantities) {
    header += ',';
    header += q.name;
  }
  return header + ",gap_until,gap_cause\n";
}

namespace {

std::string Seconds(int64_t us) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%lld.%06lld", us < 0 ? "-" : "",
                static_cast<long long>(std::llabs(us) / 1'000'000),
                static_cast<long long>(std::llabs(us) % 1'000'000));
  return text;
}

std::string Value(const std::optional<int64_t>& v, double scale) {
  if (!v)
    return {};
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", static_cast<double>(*v) / scale);
  return text;
}

}  // namespace

std::string SampleRow(RowFormat format, int64_t tUs, const StoredValues& values) {
  std::string row;
  if (format == RowFormat::kCsv) {
    row = Seconds(tUs);
    for (size_t i = 0; i < kQuantityCount; ++i) {
      row += ',';
      row += Value(values[i], kQuantities[i].scale);
    }
    return row + ",,\n";
  }
  row = "{\"t\": " + Seconds(tUs);
  for (size_t i = 0; i < kQuantityCount; ++i) {
    row += ", \"";
    row += kQuantities[i].name;
    row += "\": ";
    const std::string v = Value(values[i], kQuantities[i].scale);
    row += v.empty() ? "null" : v;
  }
  return row + "}\n";
}

std::string GapRow(RowFormat format, int64_t fromUs, int64_t toUs, const std::string& cause) {
  if (format == RowFormat::kCsv) {
    // A cause never holds a comma or a quote; it is one of the recorder's own words.
    return Seconds(fromUs) + std::string(kQuantityCount, ',') + "," + Seconds(toUs) + "," + cause +
           "\n";
  }
  return "{\"gap\": {\"from\": " + Seconds(fromUs) + ", \"to\": " + Seconds(toUs) +
         ", \"cause\": " + nlohmann::json(cause).dump() + "}}\n";
}

LiveRowWriter::LiveRowWriter(std::FILE* out, RowFormat format) : out_(out), format_(format) {}

void LiveRowWriter::Write(const std::string& text) {
  if (error_ != 0)
    return;
  if (std::fwrite(text.data(), 1, text.size(), out_) != text.size())
    error_ = errno ? errno : EIO;
}

void LiveRowWriter::BeginSession(const SessionStart& start) {
  if (format_ == RowFormat::kCsv) {
    if (!headerDone_)
      Write(CsvHeader());
    headerDone_ = true;
    return;
  }
  nlohmann::ordered_json line;
  line["session"] = {{"number", start.number},
                     {"start", FormatUtc(start.wallStartNs / 1000)},
                     {"serial", start.serial}};
  Write(line.dump() + "\n");
}

void LiveRowWriter::Sample(int64_t tNs, const ReadingsRecord& readings) {
  Write(SampleRow(format_, tNs / 1000, ToStored(readings)));
}

void LiveRowWriter::GapClosed(const GapRecord& gap) {
  Write(GapRow(format_, gap.fromNs / 1000, gap.toNs / 1000, gap.cause));
}

bool LiveRowWriter::Flush() {
  if (error_ == 0 && std::fflush(out_) != 0)
    error_ = errno ? errno : EIO;
  return error_ == 0;
}

}  // namespace vireo::record
