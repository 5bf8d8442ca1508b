// Conversion of UTF-16 text, as the language file holds it, to the UTF-8 of the program.
#pragma once

#include <string>
#include <string_view>

namespace vireo {

// Surrogate pairs become one code point; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace vireo
