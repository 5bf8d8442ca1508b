// readout and records: the meter's record memory into a record file, and a record file as rows.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "app/read_out_control.h"
#include "cli/commands.h"
#include "cli/upgrade_reporter.h"
#include "meter/record_file.h"

namespace vireo::cli {
namespace {

int ReadOut(const std::string& dir, const std::string& meter) {
  // Ctrl-C and SIGTERM end the read-out after the exchange in hand, with no file written.
  const sigset_t signals = BlockStopSignals();
  Session session;
  if (!session.UseMeter(meter))
    return kExitFailed;
  if (!dir.empty()) {
    std::error_code ec;
    std::string folder = std::filesystem::absolute(dir, ec).lexically_normal().string();
    if (folder.empty()) {
      folder = dir;
    }
    session.state.ProgramFolder = folder.back() == '/' ? folder : folder + "/";
  }
  // The request identifies the meter first, as ReadOff does when it is not identified yet.
  UpgradeReporter reporter(session.reporter, stderr, isatty(STDERR_FILENO) != 0,
                           session.state.texts[TXT_READ_OFF]);
  ReadOutControl readOut(session.link, session.state, reporter);
  if (!readOut.Request()) {
    return kExitFailed;
  }
  WaitTakingStopSignals(
      signals, [&] { return readOut.IsRunning(); }, [&] { readOut.RequestStop(); });
  readOut.Shutdown();  // waits for the read-out to end
  const std::string path = session.reporter.RecordsPath();
  if (path.empty()) {
    return kExitFailed;
  }
  std::printf("%s\n", path.c_str());
  return kExitOk;
}

int Records(const std::string& path, const std::string& format) {
  const RecordFileResult result = ReadRecordFile(path);
  if (!result.ok()) {
    std::string reason(RecordFileErrorText(result.error));
    if (!result.detail.empty()) {
      reason += ": " + result.detail;
    }
    std::fprintf(stderr, "vireometer-cli: %s: %s\n", path.c_str(), reason.c_str());
    return kExitFailed;
  }
  const bool json = format == "jsonl";
  std::string out = json ? "" : kRowHeader;
  const auto flush = [&out] {
    std::fwrite(out.data(), 1, out.size(), stdout);
    out.clear();
  };
  for (uint32_t i = 0; i < result.set.count; ++i) {
    const ChartRow row = RecordRow(result.set, i);
    if (json) {
      nlohmann::ordered_json line;
      line["index"] = row.index;
      line["seconds"] = RoundedTo(row.seconds, 3);
      line["voltage"] = RoundedTo(row.voltage, 3);
      line["current"] = RoundedTo(row.current, 3);
      line["temperature"] = static_cast<int>(row.temperature);
      out += line.dump();
      out += '\n';
    } else {
      out += RowCsv(row, true);
    }
    if (out.size() > 1 << 16) {
      flush();
    }
  }
  flush();
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailed;
}

}  // namespace

void AddRecordCommands(CLI::App& app, int& status) {
  auto* readout = app.add_subcommand(
      "readout",
      "Identify the meter, read its record memory into DIR/dat/YYYYMMDD_HHMMSS.vat (with _2, "
      "_3, ... when that name is taken) and print the file's full path as the last line. "
      "Ctrl-C ends it without a file. Exit status 0 when a file was written.");
  auto dir = std::make_shared<std::string>();
  readout
      ->add_option("--dir", *dir,
                   "The program folder whose dat/ gets the file (default: the "
                   "current folder).")
      ->type_name("DIR");
  auto meter = std::make_shared<std::string>();
  AddMeterOption(*readout, *meter);
  readout->callback([&status, dir, meter] { status = ReadOut(*dir, *meter); });

  auto* records = app.add_subcommand(
      "records",
      "Print the records of a record file, one row each: index, seconds (index x RecordHours x "
      "3600 / 352), voltage (V), current (A), temperature (C). A file that is refused gives one "
      "line on standard error saying why, and exit status 1.");
  auto file = std::make_shared<std::string>();
  auto format = std::make_shared<std::string>("csv");
  records->add_option("FILE", *file, "The record file (.vat).")->required();
  records->add_option("--format", *format, "CSV with a header line, or one JSON object a line.")
      ->check(CLI::IsMember({"csv", "jsonl"}))
      ->capture_default_str();
  records->callback([&status, file, format] { status = Records(*file, *format); });
}

}  // namespace vireo::cli
