// TextTable: the 75 user-interface texts, filled once from the language file.
#pragma once

#include <array>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "text/extra_texts.h"
#include "text/memory_file.h"

namespace vireo {

class IniReader;

// Slot numbers of the texts (the key numbers of the language file's "ftext" section).
enum TextId : int {
  TXT_SN_LABEL = 0,
  TXT_VERSION_LABEL = 1,
  TXT_LATEST_LABEL = 2,
  TXT_UPDATE_LABEL = 5,
  TXT_DEVICE_CONNECTED = 6,
  TXT_DEVICE_NOT_FOUND = 7,
  TXT_WELCOME = 8,
  TXT_TAB_READINGS = 9,
  TXT_TAB_CHART = 10,
  TXT_TAB_FIRMWARE = 11,
  TXT_TAB_ABOUT = 12,
  TXT_VOLTAGE = 13,
  TXT_CURRENT = 14,
  TXT_POWER = 15,
  TXT_RESISTANCE = 16,
  TXT_DPLUS = 17,
  TXT_DMINUS = 18,
  TXT_TEMP_INTERNAL = 19,
  TXT_TEMP_EXTERNAL = 20,
  TXT_START = 21,
  TXT_STOP = 22,
  TXT_ERR_NO_DEVICE = 23,
  TXT_UPGRADE_MODE = 24,
  TXT_ERR_THREAD = 26,
  TXT_STARTED = 27,
  TXT_STOPPED = 28,
  TXT_ERR_COMM = 29,
  TXT_FAHRENHEIT = 30,
  TXT_ERR_OPEN = 31,
  TXT_OPEN = 32,
  TXT_UPGRADE_START = 33,
  TXT_BUSY = 34,
  TXT_ERR_UNSUPPORTED_DEVICE = 35,
  TXT_FW_TOO_OLD = 36,
  TXT_FW_REQUIRED = 37,
  TXT_ERR_NO_FIRMWARE_FILE = 38,
  TXT_ERR_NOT_UPGRADE_MODE = 39,
  TXT_HINT_UPGRADE_MODE = 40,
  TXT_ERR_FIRMWARE_FILE = 41,
  TXT_UPGRADE_BEGIN = 42,
  TXT_ERASING = 43,
  TXT_ERR_ERASE = 44,
  TXT_WRITING = 45,
  TXT_ERR_WRITE = 46,
  TXT_VERIFYING = 47,
  TXT_ERR_VERIFY = 48,
  TXT_UPGRADE_DONE = 50,
  TXT_CHART_LIVE = 55,
  TXT_CHART_OFFLINE = 56,
  TXT_TEMPERATURE = 57,
  TXT_READ_OFF = 58,
  TXT_SHOW_OFF = 59,
  TXT_ERR_READOUT = 60,
  TXT_SAVED = 61,
  TXT_ERR_SAVE = 62,
  TXT_FULL = 63,
  TXT_LOGO = 64,
  TXT_COLOR_TOLERANCE = 65,
  TXT_ERR_BMP = 66,
  TXT_SIZE = 67,
  TXT_NOTICE = 68,
  TXT_NOTICE_FITS = 69,
  TXT_NOTICE_TOO_BIG = 70,
  TXT_UPDATE_DEFAULT = 71,
  TXT_BMP_ACCEPTED = 72,
  TXT_ERR_BMP_LIMIT = 73,
  TXT_BUY = 74,
};

// Why a language file was not used. A file with an [ftext] section is used, whatever its slots
// hold; these are the files that have none, or cannot be read at all.
enum class LanguageFault {
  kNone,        // the file has an [ftext] section
  kMissing,     // nothing of that name
  kNotRegular,  // a folder, a FIFO, a device
  kUnreadable,  // cannot be opened or read (`error` says why)
  kEmpty,
  kEncoding,  // text in another encoding than UTF-16LE (UTF-8, UTF-16BE)
  kNoSection,
};

// What loading one language file did.
struct TextsLoad {
  bool complete = false;  // LoadTexts' result: all 75 key lines of [ftext] were read
  LanguageFault fault = LanguageFault::kNone;
  int error = 0;  // the errno of kUnreadable
};

class TextTable {
 public:
  static constexpr int kSlotCount = 75;
  static constexpr const char* kDefaultText = "ftext.ini error";

  TextTable();
  virtual ~TextTable() = default;

  // Fills the slots from the "ftext" section of a UTF-16LE language file, then the extra texts
  // from its "extra" section. False when the file or the ftext section is missing or that
  // section ends before 75 key lines; slots set so far stay set. A file without an ftext
  // section changes nothing.
  bool LoadTexts(const std::string& path);
  // The same, reporting a read error of the opened file to onError.
  bool LoadTexts(const std::string& path, const FileErrorCallback& onError);
  // The same, and says why a file was not used.
  TextsLoad LoadFile(const std::string& path, const FileErrorCallback& onError = {});
  // The same over bytes from elsewhere than a file.
  TextsLoad LoadFrom(ByteSource& source, const FileErrorCallback& onError = {});

  // The text of a slot, UTF-8.
  const std::string& operator[](int slot) const { return texts[slot]; }

  // A word of a feature beyond the design, by its key in the [extra] section (UTF-8): the
  // language file's text, else the built-in English default of text/extra_texts.h. The key is
  // checked against kExtraTexts when the program is compiled.
  const std::string& Extra(ExtraKey key) const;

  std::array<std::string, kSlotCount> texts;
  // The [extra] section's texts by key, as loaded (keys unknown to kExtraTexts included).
  std::map<std::string, std::string, std::less<>> extras;

 private:
  // Fills the table from an opened reader.
  TextsLoad FillFrom(IniReader& reader);
};

// What LoadProgramTexts did: the file whose texts the table holds, LoadTexts' result for it,
// and the warnings to show the user, one line each (none when all went well).
struct ProgramTextsLoad {
  std::string path;
  bool complete = false;
  std::vector<std::string> warnings;

  // LoadTexts' result, as LoadProgramTexts returned before it said more.
  explicit operator bool() const { return complete; }
};

// Loads the texts as the program does: ProgramFolder + "lang.ini" when it has an [ftext]
// section; without that file, the installed language file of the user's locale (the first set
// of LC_ALL, LC_MESSAGES and LANG: zh_CN.UTF-8 gives lang/zh_CN, else lang/zh; C and POSIX
// give English); else the English language file installed with the program
// (EnglishTextsPath). A lang.ini or a locale's file that is there but unusable (not a regular
// file, unreadable, empty, not UTF-16LE, no [ftext] section) is named in a warning, and so is
// an English file that cannot be used.
ProgramTextsLoad LoadProgramTexts(TextTable& table, const std::string& programFolder,
                                  const FileErrorCallback& onError = {});

// The English language file: lang/en/lang.ini in $VIREOMETER_DATA_DIR when set, else in the
// install folder when the file is there (../share/vireometer beside the program, else the
// configured prefix's), else in the source tree.
std::string EnglishTextsPath();

// The text with each placeholder %1 to %9 replaced by that value (the first is %1). A
// placeholder without a value, and every other "%", stay as they are; values are not searched
// for placeholders again.
std::string FillIn(std::string_view text, std::initializer_list<std::string_view> values);

}  // namespace vireo
