// The pieces every subcommand of vireometer-cli shares: exit statuses, the session that the
// meter commands run in, and the functions that add each group of subcommands.
#pragma once

#include <signal.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <functional>
#include <string>

#include "app/app_state.h"
#include "cli/terminal_reporter.h"
#include "meter/meter_link.h"

namespace vireo::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Accepts a number above 0, in words a user reads.
CLI::Validator AboveZero();
// Turns "256M", "1G", "4096", "0" into bytes: an optional K, M, G or T (powers of 1024).
CLI::Validator ByteSize();

// The current folder with a trailing "/", as the program's ProgramFolder.
std::string CurrentFolder();

// Blocks SIGINT and SIGTERM in the calling thread, so that the threads it starts later inherit
// the mask and the caller alone takes them (sigtimedwait or a signalfd on the set returned).
// SIGPIPE is ignored: a reader that went away is a write error like any other.
sigset_t BlockStopSignals();

// Waits while `running()` holds, calling `stop()` once when one of `signals` (as
// BlockStopSignals returned them) arrives meanwhile. True when a signal came.
bool WaitTakingStopSignals(const sigset_t& signals, const std::function<bool()>& running,
                           const std::function<void()>& stop);

// What every meter command needs: the state with its texts (lang.ini of the current folder),
// the configured link, and the log on standard error.
struct Session {
  Session();
  // --meter: binds the link to the meter at a device path (it contains a "/") or to the
  // attached meter with that serial; empty keeps the first meter that matches. False, having
  // said why on standard error, when no attached meter has the serial.
  bool UseMeter(const std::string& choice);
  AppState state;
  MeterLink link;
  TerminalReporter reporter;
};

// How long a command's open waits for a chosen meter that another command is identifying.
inline constexpr std::chrono::milliseconds kMeterBusyPatience{1000};

// Adds --meter SERIAL|PATH to a meter command.
void AddMeterOption(CLI::App& command, std::string& meter);

// Each adds its subcommands to `app`; a subcommand's callback puts its exit status into
// `status`.
void AddDeviceCommands(CLI::App& app, int& status);    // list, info, stream
void AddSessionCommands(CLI::App& app, int& status);   // record, sessions, export
void AddFirmwareCommands(CLI::App& app, int& status);  // image, upgrade, logo
void AddUpdateCommands(CLI::App& app, int& status);    // check-update
void AddRecordCommands(CLI::App& app, int& status);    // readout, records
void AddServeCommand(CLI::App& app, int& status);      // serve

}  // namespace vireo::cli
