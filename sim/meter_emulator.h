// The meter emulator: answers frames as the meter does, keeps its flash, screen and record
// memory, and streams live readings. MeterEmulator is the meter's logic, free of I/O;
// VirtualMeter serves it on a virtual HID device socket on its own thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "meter/frame.h"
#include "meter/readings_record.h"
#include "sim/load_profile.h"

namespace vireo::sim {

struct EmulatorOptions {
  std::string serial = "ABCDEF";  // identity bytes 30..35 in this order; shown reversed
  uint8_t versionByte = 0x15;     // flash 0x08003C00: high nibble major, low nibble minor
  bool upgradeMode = false;
  // The record memory: by default a day of records of a USB charger's load.
  uint32_t recordCount = 352;  // stored records, 0..352 (more is cut to 352)
  uint8_t settingsByte = 24;   // record memory address 78: RecordHours, the span in hours
  // The two record counters at 2016 and 2020; each is the stored count when not given.
  std::optional<uint32_t> counterA;
  std::optional<uint32_t> counterB;
  uint32_t frameIntervalUs = 10000;   // live frame pace; 0 = as fast as the host reads
  std::optional<float> probeCelsius;  // external probe temperature; none reads -60
  // What voltage and current follow instead of the default swings; time is frame number x
  // frame interval (1 ms when the interval is 0).
  std::shared_ptr<const LoadProfile> loadProfile;
};

// Fault switches; every one may be changed at any time from any thread.
struct Faults {
  std::atomic<bool> silent{false};  // hear nothing, send nothing, stay attached
  // Corrupts every Nth reply and every Nth live frame (1 = all, 0 = none); counted apart.
  std::atomic<uint32_t> badChecksumEvery{0};
  std::atomic<bool> wrongReplyCode{false};      // acks and data frames carry another code
  std::atomic<uint32_t> reportDelayUs{0};       // delay before each report sent (1000 = USB FS)
  std::atomic<bool> refuseOpens{false};         // refuse every new client
  std::atomic<int64_t> unplugAfterReports{-1};  // unplug after this many host reports (-1 = never)
  std::atomic<int64_t> silentAfterReports{-1};  // fall silent after this many (-1 = never)
};

// The live readings of frame n, the same in every run: the emulator sends them, tests recompute
// them to tell which frames arrived. spare1 carries n.
ReadingsRecord ReadingsForFrame(uint32_t n, std::optional<float> probeCelsius = std::nullopt);

// The meter as the host sees it through frames. Not thread-safe: VirtualMeter locks it.
// The I/O faults (delay, refusals, unplug) are carried here but acted on by VirtualMeter.
class MeterEmulator {
 public:
  static constexpr uint32_t kFlashBase = 0x08003000;
  static constexpr uint32_t kFlashSize = 0x0D000;  // up to 0x08010000
  static constexpr uint32_t kAppStart = 0x08003400;
  static constexpr uint32_t kAppSize = 51200;  // 50 erase units
  static constexpr uint32_t kEraseUnit = 1024;
  static constexpr uint32_t kIdentityAddress = kFlashBase + 220;
  static constexpr uint32_t kIdentitySize = 36;
  static constexpr uint32_t kVersionAddress = 0x08003C00;
  static constexpr uint32_t kRecordMemorySize = 2048;
  static constexpr uint32_t kSettingsAddress = 68;
  static constexpr uint32_t kSettingsByteAddress = 78;
  static constexpr uint32_t kCountersAddress = 2016;
  static constexpr uint32_t kRecordsAddress = 256;
  static constexpr uint32_t kMaxRecords = 352;
  static constexpr uint32_t kScreenLines = 33;  // lines 0..32, 12 pixels apart

  explicit MeterEmulator(const EmulatorOptions& options = {});
  ~MeterEmulator();
  MeterEmulator(const MeterEmulator&) = delete;
  MeterEmulator& operator=(const MeterEmulator&) = delete;

  // One report from the host; the replies it causes at once are appended to out.
  // Invalid frames, malformed payloads and unknown commands are ignored.
  void HandleReport(const Frame& request, std::vector<Frame>& out);
  // The next live-data frame while the meter still owes frames of the last StreamReadings.
  std::optional<Frame> NextLiveFrame();
  uint32_t PendingLiveFrames() const;
  // The host went away: the frames it asked for are no longer owed.
  void CancelLiveFrames();

  // Memory, for tests and for building scenarios.
  std::vector<uint8_t>& flash();         // kFlashSize bytes from kFlashBase, 0xFF when erased
  std::vector<uint8_t>& recordMemory();  // kRecordMemorySize bytes
  const std::vector<std::string>& screenLines() const;  // indexed by line (y / 12)
  bool upgradeMode() const;
  void setUpgradeMode(bool on);
  uint32_t frameIntervalUs() const;
  void setFrameIntervalUs(uint32_t us);

  // Frames received (valid ones), by command code.
  uint32_t CommandCount(uint8_t code) const;
  // The valid frames received, in order: the code and, where the command has one, its
  // address (ShowText: its screen line). The first kHistoryLimit are kept.
  struct Command {
    uint8_t code;
    uint32_t argument;
    bool operator==(const Command&) const = default;
  };
  static constexpr size_t kHistoryLimit = 1 << 20;
  const std::vector<Command>& history() const;
  void ClearHistory();
  uint32_t framesSent() const;  // live frames sent, also the running number in spare1

  Faults& faults();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Why VirtualMeter::Plug could not serve the device.
enum class PlugFailure {
  kNone,
  kPathTooLong,    // the socket's path does not fit in a Unix socket address
  kNoFolder,       // the folder does not exist
  kNotAFolder,     // the folder's path names something else
  kAlreadyServed,  // a live emulator answers on the socket
  kSystem,         // the system refused (see the error number)
};

// Serves an emulator as a virtual HID device: a SOCK_SEQPACKET socket named
// hid-0716-5027-0100-<name>.sock in a folder, as hidlink's virtual backend expects.
// One client at a time; every message after the grant byte is one 65-byte report.
class VirtualMeter {
 public:
  VirtualMeter(std::filesystem::path folder, const EmulatorOptions& options = {},
               std::string name = "meter");
  ~VirtualMeter();  // unplugs

  // Creates the socket and serves it; false if it cannot (or another server holds the name),
  // and then nothing is created and plugFailure() tells why.
  bool Plug();
  PlugFailure plugFailure() const;
  // plugFailure() in words, for the user; empty after a successful Plug.
  std::string PlugFailureText() const;
  // Closes the client and removes the socket; returns once the service thread has ended.
  void Unplug();
  bool IsPlugged() const;  // false after Unplug and after a fault unplugged the device
  bool HasClient() const;
  uint32_t Connections() const;  // clients granted the meter since it was made
  std::filesystem::path SocketPath() const;

  Faults& faults();
  // Runs f with the emulator locked, so tests may inspect or change its state.
  void WithEmulator(const std::function<void(MeterEmulator&)>& f);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vireo::sim
