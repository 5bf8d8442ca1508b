// The meter's replies as the exchanges judge them: pure functions of the received bytes, so
// that MeterLink only moves reports and the checks are tested (and fuzzed) with bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "meter/frame.h"
#include "meter/readings_record.h"

namespace vireo {

// The four kinds of exchange: a request alone; one acknowledgement; one frame of data; and a
// stream of data frames, one for every 40 bytes asked for.
enum class ExchangeKind { kSend, kAcknowledged, kSingleData, kDataStream };

// What one received report is to an exchange that waits for a reply carrying `awaited`.
enum class ReplyVerdict {
  kAwaited,       // a whole, valid frame with the awaited code
  kLeftoverLive,  // a valid live-data frame left over from a stream: skipped, still waiting
  kWrong,         // short, corrupt, or another code: the reply failed
};

// Live-data frames are skipped only by exchanges that wait for something else.
ReplyVerdict JudgeReply(std::span<const uint8_t> report, uint8_t awaited);

// What one report read from the live stream is.
enum class LiveReport {
  kNothing,    // no report within the read time-out (an empty report)
  kReadings,   // a valid live-data frame
  kBadLength,  // a report of another size than a frame
  kBadFrame,   // wrong start bytes or a checksum that does not hold
  kWrongCode,  // a valid frame of another command than the live data
};

struct LiveFrame {
  LiveReport report = LiveReport::kNothing;
  ReadingsRecord readings;  // set for kReadings only
};

// The one parser of live-data frames: sorts a report and decodes the readings it carries.
LiveFrame ParseLiveReport(std::span<const uint8_t> report);

// The replies one exchange waits for, taken one received report at a time: which code they
// carry, how many are due, where their data go, and whether the exchange succeeded (given
// that its request was written). A failed single reply ends the exchange; in a data stream a
// bad or missing frame fails it, but the later frames are still awaited so that the exchange
// stays in step with the meter.
class ExchangeReplies {
 public:
  // destination: the bytes a single-data reply supplies (at most 52), or the length a data
  // stream reads; empty for the other kinds.
  ExchangeReplies(ExchangeKind kind, uint8_t command, std::span<uint8_t> destination = {});

  // True while a reply is due.
  bool Waiting() const { return due_ > 0; }
  // Takes a report received while Waiting(); a left-over live frame leaves the reply due.
  ReplyVerdict Take(std::span<const uint8_t> report);
  // The reply that was due did not come in time.
  void Missed();
  bool Succeeded() const { return ok_ && due_ == 0; }
  ExchangeKind kind() const { return kind_; }
  // The request's own command code.
  uint8_t command() const { return command_; }

  // Data bytes per data-stream frame.
  static constexpr uint32_t kStreamChunk = 40;

 private:
  void Next(bool good);

  ExchangeKind kind_;
  uint8_t command_;
  uint8_t awaited_;
  std::span<uint8_t> destination_;
  uint32_t due_ = 0;
  uint32_t taken_ = 0;  // replies judged so far
  bool ok_ = true;
};

}  // namespace vireo
