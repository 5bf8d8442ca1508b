// The folders, emulator and program runs that the end-to-end tests share: a fresh folder with
// dev/ (hidlink's virtual devices, where the emulator serves) and work/ (the programs' working
// folder, with the English lang.ini), removed after each test.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "support/process.h"
#include "text/text_table.h"

namespace vireo::testing {

namespace fs = std::filesystem;

// The whole file; empty when it cannot be read.
inline std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
inline std::vector<uint8_t> ReadBytes(const fs::path& path) {
  const std::string text = ReadText(path);
  return {text.begin(), text.end()};
}

// How often `what` stands in `text`.
inline size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

class CliFixture : public ::testing::Test {
 protected:
  // Reads a running program's output until its standard error holds `text` `times` times.
  static bool WaitForErr(Process& p, const std::string& text, size_t times = 1,
                         std::chrono::seconds timeout = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Count(p.err, text) < times) {
      if (std::chrono::steady_clock::now() > deadline || p.Wait(std::chrono::milliseconds(20)) >= 0)
        return Count(p.err, text) >= times;
    }
    return true;
  }

  void SetUp() override {
    char pattern[] = "/tmp/vireo-e2e-XXXXXX";
    folder_ = mkdtemp(pattern);
    fs::create_directory(folder_ / "dev");
    fs::create_directory(folder_ / "work");
    setenv("HIDLINK_VIRTUAL_DIR", (folder_ / "dev").c_str(), 1);
    fs::copy_file(fs::path(VIREO_SOURCE_DIR) / "lang/en/lang.ini", folder_ / "work/lang.ini");
    ASSERT_TRUE(texts_.LoadTexts((folder_ / "work/lang.ini").string()));
  }
  void TearDown() override {
    sim_.reset();
    unsetenv("HIDLINK_VIRTUAL_DIR");
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }

  // Starts vireometer-sim on dev/ and waits until its meter can be opened.
  void StartSim(const std::vector<std::string>& options = {}) {
    std::vector<std::string> argv = {VIREO_SIM, "--dir", (folder_ / "dev").string()};
    argv.insert(argv.end(), options.begin(), options.end());
    sim_ = std::make_unique<Process>(argv);
    ASSERT_TRUE(sim_->WaitForOutput("serving")) << sim_->err;
  }

  // Starts vireometer-cli in work/.
  std::unique_ptr<Process> Cli(std::vector<std::string> args) const {
    args.insert(args.begin(), VIREO_CLI);
    return std::make_unique<Process>(args, (folder_ / "work").string());
  }

  fs::path folder_;
  TextTable texts_;
  std::unique_ptr<Process> sim_;
};

}  // namespace vireo::testing
