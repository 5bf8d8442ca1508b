// Test support: a private virtual device folder with emulated meters, and a Reporter that
// records what the sequences tell the user.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/reporter.h"
#include "sim/meter_emulator.h"
#include "text/text_table.h"

namespace vireo::testing {

// Waits for a condition with a deadline instead of sleeping a fixed time.
inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Sets every slot to "T<n>", so a test sees which slot a line came from. Built by append:
// "T" + std::to_string(n) draws a false -Wrestrict from GCC 12 at -O3.
inline void NumberTexts(TextTable& texts) {
  for (int i = 0; i < TextTable::kSlotCount; ++i)
    texts.texts[i] = std::string("T").append(std::to_string(i));
}

// Points hidlink at a fresh folder for each test; meters are plugged into it on demand.
class VirtualMeterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vireo-test-XXXXXX";
    folder_ = mkdtemp(pattern);
    setenv("HIDLINK_VIRTUAL_DIR", folder_.c_str(), 1);
  }
  void TearDown() override {
    meters_.clear();
    unsetenv("HIDLINK_VIRTUAL_DIR");
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }

  sim::VirtualMeter& PlugMeter(const sim::EmulatorOptions& options = {},
                               const std::string& name = "meter") {
    meters_.push_back(std::make_unique<sim::VirtualMeter>(folder_, options, name));
    EXPECT_TRUE(meters_.back()->Plug());
    return *meters_.back();
  }

  std::filesystem::path folder_;
  std::vector<std::unique_ptr<sim::VirtualMeter>> meters_;
};

// One piece of the log: a text at its level, or a line break (level -1).
struct LogEntry {
  std::string text;
  int level;
  bool operator==(const LogEntry&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const LogEntry& e) {
  return os << "{\"" << e.text << "\", " << e.level << "}";
}

// The typed notices as a RecordingReporter lists them.
inline constexpr const char* kFirmwareTooOldNotice = "firmware too old";
inline std::string RecordsReadyNotice(const std::string& path) {
  return "records ready: " + path;
}

// Records every call; thread-safe, since the live-poll worker reports too.
class RecordingReporter : public Reporter {
 public:
  void AppendLog(const std::string& text, LogLevel level) override {
    std::lock_guard lock(mutex_);
    log_.push_back({text, static_cast<int>(level)});
  }
  void NewLogLine() override {
    std::lock_guard lock(mutex_);
    log_.push_back({"\n", -1});
  }
  void ClearLog() override {
    std::lock_guard lock(mutex_);
    log_.clear();
    ++clears_;
  }
  void SetProgress(int position) override {
    progress_ = position;
    ++progressUpdates_;
  }
  void Beep(bool success) override {
    std::lock_guard lock(mutex_);
    beeps_.push_back(success);
  }
  void SetStatus(StatusField field, const std::string& text) override {
    std::lock_guard lock(mutex_);
    status_[static_cast<int>(field)] = text;
  }
  void ShowMessage(const std::string& text) override {
    std::lock_guard lock(mutex_);
    messages_.push_back(text);
  }
  void FirmwareTooOld() override {
    std::lock_guard lock(mutex_);
    notices_.push_back(kFirmwareTooOldNotice);
  }
  void RecordsReady(std::string path) override {
    std::lock_guard lock(mutex_);
    notices_.push_back(RecordsReadyNotice(path));
  }

  std::vector<LogEntry> log() const {
    std::lock_guard lock(mutex_);
    return log_;
  }
  // The log's text entries without the line breaks.
  std::vector<LogEntry> lines() const {
    std::vector<LogEntry> out;
    for (const LogEntry& e : log()) {
      if (e.level >= 0)
        out.push_back(e);
    }
    return out;
  }
  std::vector<bool> beeps() const {
    std::lock_guard lock(mutex_);
    return beeps_;
  }
  std::vector<std::string> messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  std::vector<std::string> notices() const {
    std::lock_guard lock(mutex_);
    return notices_;
  }
  std::string status(StatusField field) const {
    std::lock_guard lock(mutex_);
    return status_[static_cast<int>(field)];
  }
  int progress() const { return progress_; }
  int progressUpdates() const { return progressUpdates_; }
  int clears() const {
    std::lock_guard lock(mutex_);
    return clears_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LogEntry> log_;
  std::vector<bool> beeps_;
  std::vector<std::string> messages_;
  std::vector<std::string> notices_;
  std::string status_[4];
  std::atomic<int> progress_{-1};
  std::atomic<int> progressUpdates_{0};
  int clears_ = 0;
};

}  // namespace vireo::testing
