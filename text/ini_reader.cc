#include "text/ini_reader.h"

namespace vireo {

bool IniReader::FindSection(const std::u16string& name) {
  file_.ResetCursor();
  while (true) {
    line_.Parse(file_.GetLine());
    if (line_.Kind() == IniLine::kSection && line_.Section() == name) {
      section_ = name;
      return true;
    }
    if (!file_.NextLine()) {
      return false;
    }
  }
}

bool IniReader::NextKey() {
  while (true) {
    if (!file_.NextLine()) {
      return false;
    }
    const uint8_t kind = line_.Parse(file_.GetLine());
    if (kind == 0) {
      continue;
    }
    if (kind == IniLine::kSection) {
      // Leave the cursor on the last non-empty line before the header, so that the next call
      // meets the header again instead of reading on into the next section.
      while (file_.PrevLine() && line_.Parse(file_.GetLine()) == 0) {
      }
      return false;
    }
    return true;
  }
}

}  // namespace vireo
