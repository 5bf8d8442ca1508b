#include "sim/meter_emulator.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>
#include <span>

#include "meter/product_constants.h"
#include "meter/tick.h"

namespace vireo::sim {

namespace {

constexpr uint8_t kAck = 2;
constexpr uint32_t kLongChunk = 40;  // data bytes per ReadFlashLong frame
constexpr uint32_t kMaxWrite = 40;
constexpr uint32_t kShowTextBytes = 47;
constexpr uint32_t kLineHeight = 12;

// A value in [-1, 1) that depends only on the frame number and the channel.
float Noise(uint32_t frameNumber, uint32_t channel) {
  uint64_t z = (uint64_t{frameNumber} << 4 | channel) + 0x9E3779B97F4A7C15u;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  z ^= z >> 31;
  return static_cast<float>(z >> 40) / static_cast<float>(1u << 23) - 1.0f;
}

}  // namespace

ReadingsRecord ReadingsForFrame(uint32_t n, std::optional<float> probeCelsius) {
  // Slow swings like a charging load, plus a little noise; t is in seconds at 100 frames/s.
  const double t = n * 0.01;
  const float voltage = static_cast<float>(5.1 + 0.08 * std::sin(t * 0.7)) + 0.004f * Noise(n, 0);
  const float current =
      std::max(0.05f, static_cast<float>(1.0 + 0.6 * std::sin(t * 0.23) + 0.2 * std::sin(t * 1.7)) +
                          0.01f * Noise(n, 1));
  ReadingsRecord r;
  r.voltage = voltage;
  r.current = current;
  r.spare1 = static_cast<float>(n);
  r.power = voltage * current;
  r.dPlus = 0.6f + 0.01f * Noise(n, 2);
  r.dMinus = 0.6f + 0.01f * Noise(n, 3);
  r.tempInternal = static_cast<float>(30.0 + 2.0 * std::sin(t * 0.01)) + 0.01f * Noise(n, 4);
  r.tempExternal = probeCelsius ? *probeCelsius + 0.05f * Noise(n, 5) : -60.0f;
  r.voltageFast = voltage + 0.003f * Noise(n, 6);
  r.currentFast = current + 0.005f * Noise(n, 7);
  return r;
}

namespace {

// The identity block as the program reads it after descrambling: a hardware code, a
// production date and batch, and the serial number in bytes 30..35.
std::array<uint8_t, MeterEmulator::kIdentitySize> PlainIdentity(const std::string& serial) {
  std::array<uint8_t, MeterEmulator::kIdentitySize> plain{};
  const std::string hardware = "VM-USB-HW2.1";
  std::copy(hardware.begin(), hardware.end(), plain.begin());
  const std::array<uint8_t, 8> made = {0xE8, 0x07, 3, 14, 0x2A, 0x01, 0x00, 0x10};
  std::copy(made.begin(), made.end(), plain.begin() + 16);
  for (size_t i = 0; i < 6; ++i) {
    plain[30 + i] = static_cast<uint8_t>(i < serial.size() ? serial[i] : '0');
  }
  return plain;
}

void FillFlash(std::vector<uint8_t>& flash, const EmulatorOptions& options) {
  flash.assign(MeterEmulator::kFlashSize, 0xFF);
  auto at = [&](uint32_t address) { return flash.begin() + (address - MeterEmulator::kFlashBase); };

  const auto stored = InvertTable(kIdentityTable);
  const auto plain = PlainIdentity(options.serial);
  std::transform(plain.begin(), plain.end(), at(MeterEmulator::kIdentityAddress),
                 [&](uint8_t b) { return stored[b]; });

  // An application of 12 KB: a vector table, code-like bytes, the version byte and a logo.
  std::mt19937 rng(0xA99);
  std::generate(at(MeterEmulator::kAppStart), at(MeterEmulator::kAppStart + 12 * 1024),
                [&] { return static_cast<uint8_t>(rng()); });
  const std::array<uint8_t, 8> vectors = {0x00, 0x50, 0x00, 0x20, 0xC1, 0x34, 0x00, 0x08};
  std::copy(vectors.begin(), vectors.end(), at(MeterEmulator::kAppStart));
  *at(MeterEmulator::kVersionAddress) = options.versionByte;
  const uint32_t logo = MeterEmulator::kAppStart + 5120;
  const std::array<uint8_t, 5> logoMark = {0x80, 0x00, 0x80, 0x00, 0x11};
  std::copy(logoMark.begin(), logoMark.end(), at(logo));
}

void FillRecordMemory(std::vector<uint8_t>& memory, const EmulatorOptions& options) {
  memory.assign(MeterEmulator::kRecordMemorySize, 0xFF);
  std::fill_n(memory.begin() + MeterEmulator::kSettingsAddress, 43, 0x00);
  memory[MeterEmulator::kSettingsAddress] = 0xA5;   // block marker
  memory[MeterEmulator::kSettingsAddress + 1] = 3;  // backlight level
  memory[MeterEmulator::kSettingsByteAddress] = options.settingsByte;

  const uint32_t count = std::min(options.recordCount, MeterEmulator::kMaxRecords);
  PutU32(&memory[MeterEmulator::kCountersAddress], options.counterA.value_or(count));
  PutU32(&memory[MeterEmulator::kCountersAddress + 4], options.counterB.value_or(count));

  // A day at a USB charger, recording from 08:00: a small standing load, a phone charging in
  // the morning and the evening, a tablet after lunch; the voltage sags a little under load
  // and the probe follows the room and the load. Each record: millivolts (u16), milliamperes
  // (s16), whole degrees (s8).
  std::mt19937 rng(0x7EC);
  auto noise = [&](int amplitude) {
    return std::uniform_int_distribution<int>(-amplitude, amplitude)(rng);
  };
  const double hoursPerRecord = options.settingsByte / double{MeterEmulator::kMaxRecords};
  for (uint32_t i = 0; i < count; ++i) {
    const double hour = std::fmod(8.0 + i * hoursPerRecord, 24.0);
    // A charge at full current that tapers off over its session.
    auto charge = [hour](double from, double to, double amps) {
      if (hour < from || hour >= to)
        return 0.0;
      return amps * (1.0 - 0.75 * (hour - from) / (to - from));
    };
    const double amps =
        0.25 + charge(8.5, 10.0, 1.65) + charge(13.0, 15.0, 0.95) + charge(19.5, 22.0, 1.35);
    const int milliamps = std::clamp(static_cast<int>(amps * 1000) + noise(30), 200, 2000);
    const int millivolts = std::clamp(5150 - milliamps * 60 / 1000 + noise(8), 4900, 5300);
    const double room = 27.0 + 3.0 * std::sin((hour - 9.0) / 24.0 * 2 * std::numbers::pi);
    const int celsius =
        std::clamp(static_cast<int>(std::lround(room + 1.5 * milliamps / 1000.0)), 24, 36);
    uint8_t* record = &memory[MeterEmulator::kRecordsAddress + 5 * i];
    PutU16(record, static_cast<uint16_t>(millivolts));
    PutU16(record + 2, static_cast<uint16_t>(static_cast<int16_t>(milliamps)));
    record[4] = static_cast<uint8_t>(static_cast<int8_t>(celsius));
  }
}

// Copies count bytes of memory starting at address (relative to base); 0xFF outside it.
std::vector<uint8_t> ReadBytes(const std::vector<uint8_t>& memory, uint32_t base, uint32_t address,
                               uint32_t count) {
  std::vector<uint8_t> bytes(count, 0xFF);
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t a = uint64_t{address} + i;
    if (a >= base && a - base < memory.size())
      bytes[i] = memory[a - base];
  }
  return bytes;
}

bool InApplication(uint32_t address) {
  return address >= MeterEmulator::kAppStart &&
         address - MeterEmulator::kAppStart < MeterEmulator::kAppSize;
}

}  // namespace

struct MeterEmulator::Impl {
  explicit Impl(const EmulatorOptions& o) : options(o), upgradeMode(o.upgradeMode) {
    FillFlash(flash, options);
    FillRecordMemory(records, options);
  }

  // An ack or data frame; its code is subject to the wrong-code fault.
  Frame Answer(uint8_t code, std::span<const uint8_t> payload = {}) {
    return Emit(faults.wrongReplyCode ? static_cast<uint8_t>(code ^ 1) : code, payload,
                repliesOut++);
  }
  void Reply(std::vector<Frame>& out, uint8_t code, std::span<const uint8_t> payload = {}) {
    out.push_back(Answer(code, payload));
  }

  // Replies and live frames are counted apart, so live frame n is corrupted exactly when
  // (n + 1) is a multiple of the fault's period, whatever else was asked meanwhile.
  Frame Emit(uint8_t code, std::span<const uint8_t> payload, uint32_t ordinal) {
    Frame frame = BuildFrame(code, payload, false, GetTickCount());
    const uint32_t every = faults.badChecksumEvery;
    if (every != 0 && (ordinal + 1) % every == 0)
      frame[kFrameChecksumOffset] ^= 0xFF;
    return frame;
  }

  void Erase(uint32_t address) {
    if (!upgradeMode || !InApplication(address))
      return;
    const uint32_t unit = address - (address - kAppStart) % kEraseUnit;
    std::fill_n(flash.begin() + (unit - kFlashBase), kEraseUnit, 0xFF);
  }

  void Write(uint32_t address, const uint8_t* data, uint32_t count) {
    if (!upgradeMode)
      return;
    for (uint32_t i = 0; i < count; ++i) {
      // Programming can only clear bits; un-erased flash keeps its ones-turned-zeros.
      if (InApplication(address + i))
        flash[address + i - kFlashBase] &= data[i];
    }
  }

  void ShowText(uint16_t y, const uint8_t* text, uint32_t count) {
    const uint32_t line = y / kLineHeight;
    if (line >= kScreenLines)
      return;
    if (screen.size() <= line)
      screen.resize(line + 1);
    screen[line].assign(reinterpret_cast<const char*>(text), count);
  }

  EmulatorOptions options;
  Faults faults;
  std::vector<uint8_t> flash;
  std::vector<uint8_t> records;
  std::vector<std::string> screen;
  bool upgradeMode;
  uint32_t pendingLive = 0;
  uint32_t liveSent = 0;
  uint32_t repliesOut = 0;
  std::array<uint32_t, 256> commandCounts{};
  std::vector<MeterEmulator::Command> history;
};

MeterEmulator::MeterEmulator(const EmulatorOptions& options)
    : impl_(std::make_unique<Impl>(options)) {}

MeterEmulator::~MeterEmulator() = default;

void MeterEmulator::HandleReport(const Frame& request, std::vector<Frame>& out) {
  if (!IsValidFrame(request))
    return;
  Impl& m = *impl_;
  const uint8_t code = request[kCommandOffset];
  ++m.commandCounts[code];
  if (m.faults.silent)
    return;

  // A request whose length byte does not cover its fields is ignored like a corrupt one.
  const uint32_t n = std::min<uint32_t>(request[kLengthOffset], kMaxPayload);
  const uint8_t* p = request.data() + kPayloadOffset;
  if (m.history.size() < kHistoryLimit) {
    uint32_t argument = 0;
    if (code == kShowText) {
      argument = GetU16(p + 2) / kLineHeight;
    } else if (code != kStreamReadings && n >= 4) {
      argument = GetU32(p);
    }
    m.history.push_back({code, argument});
  }

  switch (code) {
    case kQueryUpgradeMode:
      if (m.upgradeMode) {
        m.Reply(out, kAck);
      } else {
        // Normal mode answers at once with its own code, which the host does not take as an
        // ack; this frame is never turned into one by the wrong-code fault.
        out.push_back(m.Emit(kQueryUpgradeMode, {}, m.repliesOut++));
      }
      break;
    case kBeginFlashUpdate:
    case kEndFlashUpdate:
    case kClearScreen:
      if (code == kClearScreen)
        m.screen.clear();
      m.Reply(out, kAck);
      break;
    case kUpgradeComplete:
      m.upgradeMode = false;
      m.Reply(out, kAck);
      break;
    case kErasePage:
      if (n >= 4)
        m.Erase(GetU32(p));
      break;
    case kWriteFlash: {
      const uint32_t count = n >= 5 ? p[4] : 0;
      if (count >= 1 && count <= kMaxWrite && n >= 5 + count)
        m.Write(GetU32(p), p + 5, count);
      break;
    }
    case kReadFlash:
    case kReadRecordMemory: {
      if (n < 5 || p[4] > kMaxPayload)
        break;
      const bool isFlash = code == kReadFlash;
      const auto bytes =
          ReadBytes(isFlash ? m.flash : m.records, isFlash ? kFlashBase : 0, GetU32(p), p[4]);
      m.Reply(out, code, bytes);
      break;
    }
    case kReadFlashLong: {
      if (n < 6)
        break;
      const uint32_t address = GetU32(p);
      const uint32_t count = GetU16(p + 4);
      for (uint32_t offset = 0; offset < count; offset += kLongChunk) {
        const auto bytes =
            ReadBytes(m.flash, kFlashBase, address + offset, std::min(kLongChunk, count - offset));
        m.Reply(out, kReadFlashLong, bytes);
      }
      break;
    }
    case kShowText:
      if (n >= 5) {
        m.ShowText(GetU16(p + 2), p + 5, std::min({uint32_t{p[4]}, kShowTextBytes, n - 5}));
        m.Reply(out, kAck);
      }
      break;
    case kStreamReadings:
      // The upgrade loader measures nothing.
      if (n >= 1 && !m.upgradeMode)
        m.pendingLive = p[0];
      break;
    default:
      break;
  }
}

std::optional<Frame> MeterEmulator::NextLiveFrame() {
  Impl& m = *impl_;
  if (m.faults.silent) {
    // A hung meter forgets what it was asked for.
    m.pendingLive = 0;
    return std::nullopt;
  }
  if (m.pendingLive == 0)
    return std::nullopt;
  --m.pendingLive;
  std::array<uint8_t, ReadingsRecord::kSize> bytes;
  const uint32_t number = m.liveSent++;
  ReadingsRecord readings = ReadingsForFrame(number, m.options.probeCelsius);
  if (m.options.loadProfile)
    m.options.loadProfile->Shape(LoadProfileSeconds(number, m.options.frameIntervalUs), readings);
  readings.ToBytes(bytes.data());
  const uint8_t code = m.faults.wrongReplyCode ? kStreamReadings ^ 1 : kStreamReadings;
  return m.Emit(code, bytes, number);
}

uint32_t MeterEmulator::PendingLiveFrames() const {
  return impl_->pendingLive;
}
void MeterEmulator::CancelLiveFrames() {
  impl_->pendingLive = 0;
}
std::vector<uint8_t>& MeterEmulator::flash() {
  return impl_->flash;
}
std::vector<uint8_t>& MeterEmulator::recordMemory() {
  return impl_->records;
}
const std::vector<std::string>& MeterEmulator::screenLines() const {
  return impl_->screen;
}
bool MeterEmulator::upgradeMode() const {
  return impl_->upgradeMode;
}
void MeterEmulator::setUpgradeMode(bool on) {
  impl_->upgradeMode = on;
}
uint32_t MeterEmulator::frameIntervalUs() const {
  return impl_->options.frameIntervalUs;
}
void MeterEmulator::setFrameIntervalUs(uint32_t us) {
  impl_->options.frameIntervalUs = us;
}
uint32_t MeterEmulator::CommandCount(uint8_t code) const {
  return impl_->commandCounts[code];
}
const std::vector<MeterEmulator::Command>& MeterEmulator::history() const {
  return impl_->history;
}
void MeterEmulator::ClearHistory() {
  impl_->history.clear();
}
uint32_t MeterEmulator::framesSent() const {
  return impl_->liveSent;
}
Faults& MeterEmulator::faults() {
  return impl_->faults;
}

}  // namespace vireo::sim
