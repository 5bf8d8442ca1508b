// The rows of a recording as CSV or JSON lines: one row per sample with t (seconds since the
// session's start) and the nine quantities under the names `stream` uses, and a row of its own
// for each gap. Live outputs and `export` write the same rows.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "record/quantities.h"
#include "record/session_sink.h"

namespace vireo::record {

enum class RowFormat { kCsv, kJsonl };

// A quantity as the store keeps it: an integer in the column's unit, none for a value that is
// not a finite number or does not fit.
std::optional<int64_t> ToStored(double value, double scale);

using StoredValues = std::array<std::optional<int64_t>, kQuantityCount>;
StoredValues ToStored(const ReadingsRecord& readings);

// "t,voltage,...,current_fast,gap_until,gap_cause\n"
std::string CsvHeader();
std::string SampleRow(RowFormat format, int64_t tUs, const StoredValues& values);
std::string GapRow(RowFormat format, int64_t fromUs, int64_t toUs, const std::string& cause);

// Writes the rows of a recording to a file as they are recorded. A JSON lines output also gets
// one {"session": {...}} line before each session's rows, so several sessions of one run can be
// told apart. Errors are kept, not thrown: see failed().
class LiveRowWriter : public SessionSink {
 public:
  // The file stays the caller's.
  LiveRowWriter(std::FILE* out, RowFormat format);

  void BeginSession(const SessionStart& start) override;
  void Sample(int64_t tNs, const ReadingsRecord& readings) override;
  void GapOpened(int64_t, const std::string&) override {}
  void GapClosed(const GapRecord& gap) override;
  void Event(const EventRecord&) override {}
  void EndSession(const SessionEnd&) override {}

  // Hands what was written to the system; false once a write has failed.
  bool Flush();
  // The errno of the first failed write, 0 if none.
  int error() const { return error_; }

 private:
  void Write(const std::string& text);

  std::FILE* out_;
  const RowFormat format_;
  bool headerDone_ = false;
  int error_ = 0;
};

}  // namespace vireo::record
