// The words of features beyond the design. They come from the [extra] section of the language
// file, whose keys are names; each has its built-in English default here, so an older language
// file still shows sensible words. Features add their keys to this list, and to both shipped
// language files (scripts/make_lang.py check tells which are missing).
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace vireo {

struct ExtraText {
  std::string_view key;
  std::string_view english;
};

// Placeholders %1, %2, ... in a text are filled in by FillIn (text/text_table.h).
inline constexpr ExtraText kExtraTexts[] = {
    // After TXT_ERR_OPEN when the meter's device node may not be opened by this user.
    {"hint_permission",
     "No permission to open the meter: install the udev rule 70-vireometer.rules and plug the "
     "meter in again"},
    // A lang.ini in the working folder that cannot be used: %1 its path, %2 one of the
    // lang_reason_ texts.
    {"lang_unusable", "The language file %1 is not used: %2. The English texts are shown."},
    // The installed English language file cannot be used either: %1 its path, %2 the reason.
    {"lang_english_unusable", "The English language file %1 cannot be used: %2."},
    {"lang_reason_not_file", "it is not a regular file"},
    // %1: the system's words for the error.
    {"lang_reason_unreadable", "it cannot be read (%1)"},
    {"lang_reason_empty", "it is empty"},
    {"lang_reason_encoding", "it is not UTF-16LE text"},
    {"lang_reason_no_section", "it has no section named ftext"},
    // The firmware page's prompt for a colour tolerance that is no whole number from 0 to 999.
    {"tolerance_range", "Please enter an integer between 0 and 999."},
    // The chart's context menu and its save dialogs.
    {"save_image", "Save image\u2026"},
    {"export_csv", "Export CSV\u2026"},
    {"png_files", "PNG images"},
    {"csv_files", "CSV files"},
    // Names that screen readers give the controls without a caption or label of their own.
    {"log_name", "Log"},
    {"progress_name", "Progress"},
    {"chart_mode_name", "Chart mode"},
    {"sample_rate_name", "Sample rate"},
    {"record_file_name", "Record file"},
    {"firmware_file_name", "Firmware file"},
    {"bitmap_file_name", "Logo bitmap file"},
    {"bitmap_picture_name", "Chosen bitmap"},
    {"logo_preview_name", "Logo preview"},
    // The readings page's context menu entry and the dialog it opens.
    {"alarms_menu", "Alarms\u2026"},
    {"alarms_title", "Alarms"},
    {"alarm_add", "Add"},
    {"alarm_remove", "Remove"},
    // The checkbox that switches a rule on and off.
    {"alarm_enabled", "On"},
    // Shown in an empty rule field.
    {"alarm_example", "e.g. overvolt: voltage > 5.25 for 0.5s clear < 5.20"},
    // %1: an alarm's name given to more than one switched-on rule.
    {"alarm_duplicate", "Another rule is named %1 too"},
    // %1: the alarms file, %2: the system's words for the error.
    {"alarms_unwritable", "The alarms file %1 cannot be written: %2"},
    {"alarms_unreadable", "No alarms: the alarms file %1 cannot be read (%2)."},
    // %1: where the rule is and why it is wrong.
    {"alarm_not_used", "Alarm not used: %1"},
    // %1: the alarm's name, %2: what caused it, e.g. "voltage 5.31V".
    {"alarm_raised", "Alarm %1 raised: %2"},
    {"alarm_cleared", "Alarm %1 cleared: %2"},
    // The body of the desktop notification; %1: the meter's serial.
    {"alarm_meter", "Meter %1"},
    // A record file named at start that the chart page refused: %1 its path, %2 why.
    {"record_file_refused", "The record file %1 is not shown: %2"},
    // The firmware page's context menu entry that shows its logo controls.
    {"show_logo_controls", "Show logo controls"},
    // After a failed upgrade step, the line that says why.
    {"fault_unplugged", "The meter was unplugged"},
    {"fault_no_answer", "The meter stopped answering"},
    {"fault_bad_reply", "The meter sent bad replies"},
    // %1: the image file.
    {"fault_image_changed", "The image file %1 changed after it was checked"},
    {"fault_mismatch", "The flash read back differs from the image"},
    // %1: the first rule of the image format that the file breaks.
    {"image_invalid", "The image file is invalid: %1"},
    // An upgrade stopped on request (Ctrl-C) between two blocks.
    {"upgrade_stopped",
     "Stopped: the meter stays in upgrade mode, and running the upgrade again completes it"},
    // A read-out stopped on request (Ctrl-C).
    {"readout_stopped", "Read-out stopped: no file was written"},
    // Recording from the window. %1: the store's path; %2 a reason.
    {"recording_into", "Recording into %1"},
    {"recording_refused", "Recording cannot start: %1"},
    {"recording_ended", "Recording ended, the session is in %1"},
    // %1: the meter attached now, %2: the meter being recorded.
    {"recording_other_meter", "Meter %1 is not meter %2, whose recording waits for it"},
    {"close_while_recording", "A session is being recorded. Stop recording and close?"},
    // The session view: the statistics of the span between its cursors. %1 and %2: seconds,
    // %3: per cent, %4: a count.
    {"span_time", "\u0394t %1 s   covered %2 s (%3 %)   %4 samples"},
    // After a unit: the quantity's figures over the span.
    {"span_quantity", "min %1   max %2   mean %3"},
    {"span_energy", "Energy %1 Wh   charge %2 mAh"},
    // %1: the capacity in mAh, %2: the time as h:mm:ss, %3: the mean current in mA.
    {"span_battery", "A battery of %1 mAh lasts %2 at %3 mA"},
    {"span_hint", "Click to place cursor A, then B"},
    {"battery_capacity", "Battery (mAh)"},
    // A gap's tooltip: %1 its length in seconds, %2 its cause.
    {"gap_tooltip", "Gap of %1 s: %2"},
    // The Sessions page: the tab, its controls and the names screen readers give them.
    {"sessions_tab", "Sessions"},
    {"record", "Record"},
    {"stop_recording", "Stop recording"},
    {"triggers", "Triggers\u2026"},
    {"choose_store", "Store\u2026"},
    {"store_name", "Session store"},
    {"store_files", "Session stores"},
    {"session_list_name", "Recorded sessions"},
    {"session_view_name", "Session chart"},
    {"recording_figures_name", "Recording figures"},
    {"page_message_name", "Message"},
    // A store that cannot be listed: %1 its path, %2 why.
    {"store_refused", "The store %1 cannot be used: %2"},
    // The folder of the store that cannot be made: %1 the folder, %2 why.
    {"store_folder_failed", "The folder %1 cannot be made: %2"},
    // The session list's columns.
    {"column_start", "Start"},
    {"column_duration", "Duration"},
    {"column_serial", "Serial"},
    {"column_samples", "Samples"},
    {"column_energy", "Energy (Wh)"},
    {"column_charge", "Charge (mAh)"},
    {"column_coverage", "Coverage"},
    {"column_ended", "Ended"},
    {"column_title", "Title"},
    // How a session ended, as the list shows it.
    {"ended_recording", "recording"},
    {"ended_unfinished", "unfinished"},
    {"ended_stopped", "stopped"},
    {"ended_limit", "limit"},
    {"ended_trigger", "trigger"},
    {"ended_interrupted", "interrupted"},
    {"ended_disk_full", "disk full"},
    {"ended_meter_refused", "meter refused"},
    // The running recording, once a second: %1 elapsed h:mm:ss, %2 samples, %3 Wh, %4 mAh,
    // %5 gaps, %6 coverage in per cent.
    {"recording_figures", "%1   %2 samples   %3 Wh   %4 mAh   %5 gaps   %6 % covered"},
    {"waiting_for_trigger", "Waiting for the trigger"},
    // The session list's context menu and its dialogs. %1 a session's start, %2 its samples.
    {"rename_session", "Rename\u2026"},
    {"delete_session", "Delete\u2026"},
    {"session_title", "Title of the session of %1:"},
    {"delete_confirm", "Delete the session of %1 with %2 samples? This cannot be undone."},
    {"delete_live", "The session of %1 is being recorded and cannot be deleted."},
    // %1: why.
    {"rename_failed", "The session was not renamed: %1"},
    {"delete_failed", "The session was not deleted: %1"},
    // The session chart's context menu.
    {"export_span_csv", "Export span as CSV\u2026"},
    {"export_span_jsonl", "Export span as JSON lines\u2026"},
    {"export_session_csv", "Export session as CSV\u2026"},
    {"export_session_jsonl", "Export session as JSON lines\u2026"},
    {"hold_scales", "Hold the value scales"},
    {"save_view_png", "Save view as PNG\u2026"},
    {"jsonl_files", "JSON lines files"},
    // A file not written: %1 its path, %2 why.
    {"file_not_written", "%1 was not written: %2"},
    // The triggers dialog, with the meanings of the same options of `vireometer-cli record`.
    {"triggers_title", "Triggers"},
    {"start_above", "Start above (A)"},
    {"pre_roll", "Pre-roll (s)"},
    {"stop_below", "Stop below (A)"},
    {"stop_for", "For (s)"},
    {"start_above_tip", "Start a session when the current rises above this many amperes."},
    {"pre_roll_tip", "With Start above: keep this many seconds from before the crossing."},
    {"stop_below_tip",
     "End a session when the current stays below this many amperes for the seconds of For. "
     "Without Start above it ends the recording, with it the recording waits for the next "
     "crossing."},
    {"stop_for_tip", "With Stop below: seconds below (default 10)."},
    {"for_needs_stop", "For needs Stop below"},
    // Settings the recorder refuses: %1 why.
    {"triggers_refused", "Not used: %1"},
};

namespace extra_texts_detail {

// Not constexpr on purpose: a key missing from kExtraTexts stops the build here.
void UnknownExtraTextKey();

// A key must read back as itself: the INI reader cuts at ";", at "=" and before "[", and trims
// white space.
constexpr bool IsIniName(std::string_view key) {
  if (key.empty()) {
    return false;
  }
  for (const char c : key) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) {
      return false;
    }
  }
  return key[0] < '0' || key[0] > '9';
}

// The English texts must survive the reader too: no ";", no "[" with a "]".
constexpr bool IsIniValue(std::string_view text) {
  return text.find(';') == std::string_view::npos &&
         (text.find('[') == std::string_view::npos || text.find(']') == std::string_view::npos);
}

constexpr bool KeysAreSound() {
  constexpr std::size_t count = std::size(kExtraTexts);
  for (std::size_t i = 0; i < count; ++i) {
    if (!IsIniName(kExtraTexts[i].key) || !IsIniValue(kExtraTexts[i].english)) {
      return false;
    }
    for (std::size_t j = i + 1; j < count; ++j) {
      if (kExtraTexts[i].key == kExtraTexts[j].key) {
        return false;
      }
    }
  }
  return true;
}

static_assert(KeysAreSound(),
              "kExtraTexts: keys are unique lower-case names, texts hold no ';' and no '[...]'");

}  // namespace extra_texts_detail

// A key of kExtraTexts. A string literal converts to it only when it names an entry, which is
// checked while compiling: Extra("no_such_key") does not build.
class ExtraKey {
 public:
  template <std::size_t N>
  consteval ExtraKey(const char (&key)[N])  // NOLINT: implicit on purpose
      : index_(IndexOf(std::string_view(key, N - 1))) {}

  // The key of that name, for names known only at run time.
  static constexpr std::optional<ExtraKey> Find(std::string_view key) {
    for (std::size_t i = 0; i < std::size(kExtraTexts); ++i) {
      if (kExtraTexts[i].key == key) {
        return ExtraKey(i);
      }
    }
    return std::nullopt;
  }

  constexpr std::size_t index() const { return index_; }
  constexpr std::string_view name() const { return kExtraTexts[index_].key; }
  constexpr std::string_view english() const { return kExtraTexts[index_].english; }

 private:
  constexpr explicit ExtraKey(std::size_t index) : index_(index) {}

  static consteval std::size_t IndexOf(std::string_view key) {
    for (std::size_t i = 0; i < std::size(kExtraTexts); ++i) {
      if (kExtraTexts[i].key == key) {
        return i;
      }
    }
    extra_texts_detail::UnknownExtraTextKey();
    return 0;
  }

  std::size_t index_;
};

}  // namespace vireo
