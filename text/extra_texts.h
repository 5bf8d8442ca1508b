// The words of features beyond the design. They come from the [extra] section of the language
// file, whose keys are names; each has its built-in English default here, so an older language
// file still shows sensible words. Features add their keys to this list.
#pragma once

#include <string_view>

namespace vireo {

struct ExtraText {
  std::string_view key;
  std::string_view english;
};

inline constexpr ExtraText kExtraTexts[] = {
    // After TXT_ERR_OPEN when the meter's device node may not be opened by this user.
    {"hint_permission",
     "No permission to open the meter: install the udev rule 70-vireometer.rules and plug the "
     "meter in again"},
    // The firmware page's prompt for a colour tolerance that is no whole number from 0 to 999.
    {"tolerance_range", "Please enter an integer between 0 and 999."},
    // The chart's context menu and its save dialogs.
    {"save_image", "Save image\u2026"},
    {"export_csv", "Export CSV\u2026"},
    {"png_files", "PNG images"},
    {"csv_files", "CSV files"},
};

}  // namespace vireo
