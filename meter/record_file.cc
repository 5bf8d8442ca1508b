#include "meter/record_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/posix.h"

namespace vireo {
namespace {

RecordFileResult Refused(RecordFileError error, std::string detail = {}) {
  RecordFileResult result;
  result.error = error;
  result.detail = std::move(detail);
  return result;
}

// A float printed with "%.*f"; empty when it is not finite.
std::string Field(double value, const char* format) {
  if (!std::isfinite(value)) {
    return {};
  }
  char text[400];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

std::string_view RecordFileErrorText(RecordFileError error) {
  switch (error) {
    case RecordFileError::kNone:
      return "no error";
    case RecordFileError::kTooShort:
      return "shorter than 2 bytes";
    case RecordFileError::kBadMark:
      return "first byte is not 5";
    case RecordFileError::kNoRecordHours:
      return "RecordHours is 0";
    case RecordFileError::kUnreadable:
      return "not readable";
    case RecordFileError::kNotRegularFile:
      return "not a regular file";
    case RecordFileError::kTooLarge:
      return "larger than 16 MiB";
  }
  return "not readable";
}

std::vector<uint8_t> EncodeRecordFile(uint8_t recordHours, std::span<const uint8_t> records) {
  std::vector<uint8_t> bytes;
  bytes.reserve(kRecordHeaderBytes + records.size());
  bytes.push_back(kRecordFileMark);
  bytes.push_back(recordHours);
  bytes.insert(bytes.end(), records.begin(), records.end());
  return bytes;
}

RecordFileResult DecodeRecordFile(std::span<const uint8_t> bytes) {
  if (bytes.size() < kRecordHeaderBytes) {
    return Refused(RecordFileError::kTooShort);
  }
  if (bytes[0] != kRecordFileMark) {
    return Refused(RecordFileError::kBadMark);
  }
  if (bytes[1] == 0) {
    return Refused(RecordFileError::kNoRecordHours);
  }
  const size_t count = (bytes.size() - kRecordHeaderBytes) / kRecordBytes;
  if (count > UINT32_MAX) {
    return Refused(RecordFileError::kTooLarge);
  }
  RecordFileResult result;
  result.set.RecordHours = bytes[1];
  result.set.count = static_cast<uint32_t>(count);
  result.set.points.resize(count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* r = bytes.data() + kRecordHeaderBytes + kRecordBytes * i;
    const auto millivolts = static_cast<uint16_t>(r[0] | r[1] << 8);
    const auto milliamps = static_cast<int16_t>(static_cast<uint16_t>(r[2] | r[3] << 8));
    const auto celsius = static_cast<int8_t>(r[4]);
    // The factor is applied in single precision.
    result.set.points[i] = {static_cast<float>(millivolts) * 0.001f,
                            static_cast<float>(milliamps) * 0.001f, static_cast<float>(celsius)};
  }
  return result;
}

RecordFileResult ReadRecordFile(const std::string& path) {
  // A FIFO or a device is refused before it is opened: opening one could wait or act.
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    return Refused(RecordFileError::kUnreadable, std::strerror(errno));
  }
  if (!S_ISREG(info.st_mode)) {
    return Refused(RecordFileError::kNotRegularFile);
  }
  // O_NONBLOCK too, should the name have been replaced by a FIFO in the meantime.
  posix::UniqueFd fd(posix::RetryOnSignal(
      [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK); }));
  if (!fd) {
    return Refused(RecordFileError::kUnreadable, std::strerror(errno));
  }
  if (::fstat(fd.Get(), &info) != 0) {
    return Refused(RecordFileError::kUnreadable, std::strerror(errno));
  }
  if (!S_ISREG(info.st_mode)) {
    return Refused(RecordFileError::kNotRegularFile);
  }
  if (static_cast<uint64_t>(info.st_size) > kMaxRecordFileBytes) {
    return Refused(RecordFileError::kTooLarge);
  }
  // Read to the end, whatever the size said: the file may have changed since.
  std::vector<uint8_t> bytes(static_cast<size_t>(info.st_size) + 1);
  size_t used = 0;
  for (;;) {
    if (used == bytes.size()) {
      if (bytes.size() > kMaxRecordFileBytes) {
        return Refused(RecordFileError::kTooLarge);
      }
      bytes.resize(std::min<size_t>(bytes.size() * 2, kMaxRecordFileBytes + 1));
    }
    const ssize_t n = posix::RetryOnSignal(
        [&] { return ::read(fd.Get(), bytes.data() + used, bytes.size() - used); });
    if (n < 0) {
      return Refused(RecordFileError::kUnreadable, std::strerror(errno));
    }
    if (n == 0) {
      break;
    }
    used += static_cast<size_t>(n);
  }
  return DecodeRecordFile(std::span<const uint8_t>(bytes.data(), used));
}

double RecordSeconds(uint32_t index, uint8_t recordHours) {
  return index * static_cast<double>(recordHours) * 3600.0 / kRecordCapacity;
}

ChartRow RecordRow(const RecordSet& set, uint32_t index) {
  const RecordPoint& p = set.points[index];
  return {index, RecordSeconds(index, set.RecordHours), p.voltage, p.current, p.temperature};
}

double RoundedTo(double value, int decimals) {
  const double factor = std::pow(10.0, decimals);
  return std::round(value * factor) / factor;
}

std::string RowCsv(const ChartRow& row, bool recorded) {
  const char* quantity = recorded ? "%.3f" : "%.9g";
  std::string line = std::to_string(row.index);
  line += ',' + Field(row.seconds, "%.3f");
  line += ',' + Field(row.voltage, quantity);
  line += ',' + Field(row.current, quantity);
  line += ',' + Field(row.temperature, recorded ? "%.0f" : "%.9g");
  line += '\n';
  return line;
}

std::string RecordRowsCsv(const RecordSet& set) {
  std::string text = kRowHeader;
  for (uint32_t i = 0; i < set.count; ++i) {
    text += RowCsv(RecordRow(set, i), true);
  }
  return text;
}

std::string SampleRowsCsv(std::span<const float> voltage, std::span<const float> current,
                          std::span<const float> temperature, uint32_t samplePeriodMs) {
  std::string text = kRowHeader;
  // The newest samples of the three line up at the end.
  const size_t count = std::min({voltage.size(), current.size(), temperature.size()});
  voltage = voltage.last(count);
  current = current.last(count);
  temperature = temperature.last(count);
  for (size_t i = 0; i < count; ++i) {
    const ChartRow row{i, i * samplePeriodMs / 1000.0, voltage[i], current[i], temperature[i]};
    text += RowCsv(row, false);
  }
  return text;
}

}  // namespace vireo
