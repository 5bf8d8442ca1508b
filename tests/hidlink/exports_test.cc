// The library exports the 32 functions of its interface, versioned, and nothing else.
#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "hidlink/hidlink.h"

namespace {

// The names, ordinals 1 to 31, of version HIDLINK_1.0.
const char* const kExports =
    "QelHidInit QelHidFreeDevicesInfo QelHidScanDevices QelHidGetDevices QelHidOpen QelHidClose "
    "QelHidSetInpQelReportLength QelHidSetOQelpQelReportLength QelHidSetInpQelReportID "
    "QelHidSetOQelpQelReportID QelHidRead QelHidWrite QelHidD_GetAttributes QelHidD_GetHidGuid "
    "QelHidD_GetPreparsedData QelHidD_FreePreparsedData QelHidD_FlushQueue "
    "QelHidD_GetConfiguration QelHidD_SetConfiguration QelHidD_GetFeature QelHidD_SetFeature "
    "QelHidD_GetInputReport QelHidD_SetOutputReport QelHidD_GetNumInputBuffers "
    "QelHidD_SetNumInputBuffers QelHidD_GetPhysicalDescriptor QelHidD_GetManufacturerString "
    "QelHidD_GetProductString QelHidD_GetIndexedString QelHidD_GetSerialNumberString "
    "QelHidD_GetMsGenreDescriptor";

TEST(ExportsTest, AreExactlyTheInterfaceFunctionsTheFirst31InHIDLINK_1_0AndThe32ndIn1_1) {
  struct PipeCloser {
    void operator()(FILE* f) const { ::pclose(f); }
  };
  const std::unique_ptr<FILE, PipeCloser> nm(
      ::popen("nm -D --defined-only " HIDLINK_LIBRARY_PATH, "r"));
  ASSERT_TRUE(nm);
  std::set<std::string> functions;
  char line[512];
  while (std::fgets(line, sizeof line, nm.get())) {
    std::istringstream fields(line);
    std::string address, type, symbol;
    fields >> address >> type >> symbol;
    if (type == "A" && (symbol == "HIDLINK_1.0" || symbol == "HIDLINK_1.1"))
      continue;  // the version nodes themselves
    const size_t at = symbol.find("@@");
    const std::string name = symbol.substr(0, at);
    const std::string version = name == "QelHidGetLastError" ? "@@HIDLINK_1.1" : "@@HIDLINK_1.0";
    EXPECT_EQ(at == std::string::npos ? "" : symbol.substr(at), version) << symbol;
    EXPECT_EQ(type, "T") << symbol;
    functions.insert(name);
  }
  std::istringstream names(std::string(kExports) + " QelHidGetLastError");
  const std::set<std::string> expected{std::istream_iterator<std::string>(names), {}};
  EXPECT_EQ(expected.size(), 32u);
  EXPECT_EQ(functions, expected);
}

// The names in the DT_NEEDED entries of an ELF file's dynamic section; empty if it has none or
// cannot be read.
template <typename Ehdr, typename Shdr, typename Dyn>
std::vector<std::string> NeededOf(const std::vector<char>& file) {
  std::vector<std::string> needed;
  const auto at = [&](auto& out, size_t offset) {
    if (offset > file.size() || file.size() - offset < sizeof out)
      return false;
    std::memcpy(&out, file.data() + offset, sizeof out);
    return true;
  };
  Ehdr header;
  if (!at(header, 0))
    return needed;
  std::vector<Shdr> sections(header.e_shnum);
  for (size_t i = 0; i < sections.size(); ++i) {
    if (!at(sections[i], header.e_shoff + i * header.e_shentsize))
      return {};
  }
  for (const Shdr& section : sections) {
    if (section.sh_type != SHT_DYNAMIC || section.sh_link >= sections.size())
      continue;
    const Shdr& strings = sections[section.sh_link];
    for (size_t offset = 0; offset + sizeof(Dyn) <= section.sh_size; offset += sizeof(Dyn)) {
      Dyn entry;
      if (!at(entry, section.sh_offset + offset) || entry.d_tag == DT_NULL)
        break;
      if (entry.d_tag == DT_NEEDED && entry.d_un.d_val < strings.sh_size)
        needed.emplace_back(file.data() + strings.sh_offset + entry.d_un.d_val);
    }
  }
  return needed;
}

// The C library and its dynamic loader, which every dynamically linked program has.
bool IsCLibrary(const std::string& name) {
  return name == "libc.so.6" || name.starts_with("ld-linux");
}

TEST(ExportsTest, LibraryNeedsTheCLibraryOnly) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizer builds need the sanitizer's runtime";
#endif
  std::ifstream in(HIDLINK_LIBRARY_PATH, std::ios::binary);
  const std::vector<char> file((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
  ASSERT_GT(file.size(), size_t{EI_NIDENT});
  ASSERT_EQ(std::memcmp(file.data(), ELFMAG, SELFMAG), 0);
  const std::vector<std::string> needed = file[EI_CLASS] == ELFCLASS64
                                              ? NeededOf<Elf64_Ehdr, Elf64_Shdr, Elf64_Dyn>(file)
                                              : NeededOf<Elf32_Ehdr, Elf32_Shdr, Elf32_Dyn>(file);
  EXPECT_NE(std::find(needed.begin(), needed.end(), "libc.so.6"), needed.end());
  for (const std::string& name : needed)
    EXPECT_TRUE(IsCLibrary(name)) << name;
}

// A C++ caller may rely on the exports never throwing.
static_assert(noexcept(QelHidOpen(nullptr)) && noexcept(QelHidClose(0)));
static_assert(noexcept(QelHidScanDevices(nullptr)) && noexcept(QelHidInit()));
static_assert(noexcept(QelHidRead(0, nullptr, 0, nullptr, 0)));
static_assert(noexcept(QelHidWrite(0, nullptr, 0, nullptr, 0)));
static_assert(noexcept(QelHidD_GetAttributes(0, nullptr)) && noexcept(QelHidD_GetHidGuid(nullptr)));
static_assert(noexcept(QelHidGetLastError(0, nullptr, 0)));

}  // namespace
