// The library exports the 31 functions of its interface, versioned, and nothing else.
#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace {

// The names, ordinals 1 to 31.
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

TEST(ExportsTest, AreExactlyTheInterfaceFunctionsInVersionHIDLINK_1_0) {
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
    if (type == "A" && symbol == "HIDLINK_1.0")
      continue;  // the version node itself
    const size_t at = symbol.find("@@");
    EXPECT_EQ(at == std::string::npos ? "" : symbol.substr(at), "@@HIDLINK_1.0") << symbol;
    EXPECT_EQ(type, "T") << symbol;
    functions.insert(symbol.substr(0, at));
  }
  std::istringstream names(kExports);
  const std::set<std::string> expected{std::istream_iterator<std::string>(names), {}};
  EXPECT_EQ(functions, expected);
}

}  // namespace
