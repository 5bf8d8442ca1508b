// The update check's two files from bytes: the version file and the advert. Byte 0 says which;
// the rest is the file. The advert must come out as UTF-8 without control characters but tab,
// and never longer than the input allows.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/update_check.h"

namespace {

void Check(bool condition) {
  if (!condition)
    __builtin_trap();
}

// Well-formed UTF-8 with no C0 control but tab, no DEL and no C1 control.
void CheckPlainText(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<uint8_t>(text[i]);
    size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    Check(lead < 0x80 || lead >= 0xC2);
    Check(i + length <= text.size());
    if (length == 1)
      Check((lead >= 0x20 || lead == '\t') && lead != 0x7F);
    if (length == 2)
      Check(!(lead == 0xC2 && static_cast<uint8_t>(text[i + 1]) < 0xA0));
    for (size_t k = 1; k < length; ++k)
      Check((static_cast<uint8_t>(text[i + k]) & 0xC0) == 0x80);
    i += length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  const std::string_view file(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] & 1) {
    const vireo::UpdateVersionWord word = vireo::ParseVersionFile(file);
    Check(file.size() >= 2 || word[1] == 0xFF);
    Check(!file.empty() || word[0] == 0xFF);
    vireo::TextTable texts;
    Check(!vireo::UpdateLine(texts, word).empty());
  } else {
    const std::string text = vireo::AdvertText(file);
    // Each UTF-16 unit becomes at most 3 bytes; a surrogate pair 4.
    Check(text.size() <= (file.size() / 2) * 3);
    CheckPlainText(text);
  }
  return 0;
}
