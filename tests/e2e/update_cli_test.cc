// vireometer-cli check-update against a small web server on 127.0.0.1 (update_server.py).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/process.h"

namespace vireo {
namespace {

namespace fs = std::filesystem;
using testing::Process;

constexpr const char* kDefault = "No update information";

struct CheckResult {
  int status;
  std::string out;
  std::string err;
};

class UpdateCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vireo-update-XXXXXX";
    folder_ = mkdtemp(pattern);
    fs::copy_file(fs::path(VIREO_SOURCE_DIR) / "lang/en/lang.ini", folder_ / "lang.ini");
  }
  void TearDown() override {
    server_.reset();
    unsetenv("VIREOMETER_UPDATE_URL");
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }

  // Starts the server with its options and points the CLI at it.
  void Serve(std::vector<std::string> options) {
    options.insert(options.begin(), {VIREO_PYTHON, VIREO_SOURCE_DIR "/tests/e2e/update_server.py"});
    server_ = std::make_unique<Process>(options);
    const std::string line = server_->ReadLine();
    ASSERT_EQ(line.rfind("port ", 0), 0u) << server_->err;
    setenv("VIREOMETER_UPDATE_URL", ("http://127.0.0.1:" + line.substr(5)).c_str(), 1);
  }

  CheckResult CheckUpdate() {
    Process cli({VIREO_CLI, "check-update"}, folder_.string());
    const int status = cli.Wait(std::chrono::seconds(60));
    return {status, cli.out, cli.err};
  }

  fs::path folder_;
  std::unique_ptr<Process> server_;
};

struct ServedCase {
  const char* name;
  std::vector<std::string> options;
  int status;
  std::string out;
  bool redLine;  // the default text logged as a failure
};

void PrintTo(const ServedCase& c, std::ostream* os) {
  *os << c.name;
}

class ServedFiles : public UpdateCliTest, public ::testing::WithParamInterface<ServedCase> {};

TEST_P(ServedFiles, PrintUpdateLineAndAdvert) {
  const ServedCase& c = GetParam();
  Serve(c.options);
  const CheckResult result = CheckUpdate();
  EXPECT_EQ(result.status, c.status) << result.err;
  EXPECT_EQ(result.out, c.out);
  EXPECT_EQ(result.err.find(kDefault) != std::string::npos, c.redLine) << result.err;
}

INSTANTIATE_TEST_SUITE_P(
    UpdateCheck, ServedFiles,
    ::testing::Values(ServedCase{"TwoVersionBytes",
                                 {"--version", "hex:1612"},
                                 0,
                                 "Update:Latest1.6 Version1.2\n",
                                 false},
                      ServedCase{"OneByteLeavesSecondAt0xFF",
                                 {"--version", "hex:16"},
                                 0,
                                 "Update:Latest1.6 Version15.15\n",
                                 false},
                      ServedCase{"EmptyVersionFile",
                                 {"--version", "hex:"},
                                 0,
                                 "Update:Latest15.15 Version15.15\n",
                                 false},
                      // A captive portal's page, served with status 200.
                      ServedCase{"ThreeBytesAreNoVersionFile",
                                 {"--version", "hex:3c703e"},
                                 1,
                                 std::string(kDefault) + "\n",
                                 true},
                      ServedCase{"VersionFileNotFound",
                                 {"--version", "status:404"},
                                 1,
                                 std::string(kDefault) + "\n",
                                 true},
                      ServedCase{"Status298IsSuccess",
                                 {"--version", "status:298"},
                                 0,
                                 "Update:Latest15.15 Version15.15\n",
                                 false},
                      ServedCase{"Status299IsFailure",
                                 {"--version", "status:299"},
                                 1,
                                 std::string(kDefault) + "\n",
                                 true},
                      ServedCase{"AdvertOfTwoBytesIsAnEmptyLine",
                                 {"--version", "hex:1612", "--advert", "hex:fffe"},
                                 0,
                                 "Update:Latest1.6 Version1.2\n\n",
                                 false},
                      // "Hi" NUL "X": the text ends at the NUL.
                      ServedCase{"AdvertEndsAtFirstNul",
                                 {"--version", "hex:1612", "--advert", "hex:fffe4800690000005800"},
                                 0,
                                 "Update:Latest1.6 Version1.2\nHi\n",
                                 false},
                      // "A" ESC "[2J" TAB "B" CR LF "C": the escape, CR and LF go, the tab stays.
                      ServedCase{"AdvertLosesControlCharactersButTab",
                                 {"--version", "hex:1612", "--advert",
                                  "hex:fffe41001b005b0032004a000900420000000d000a004300"},
                                 0,
                                 "Update:Latest1.6 Version1.2\nA[2J\tB\n",
                                 false},
                      ServedCase{"AdvertNeedsAContentLength",
                                 {"--version", "hex:1612", "--advert", "nolength:fffe480069000000"},
                                 0,
                                 "Update:Latest1.6 Version1.2\n",
                                 false},
                      ServedCase{"AdvertWithoutVersionFile",
                                 {"--advert", "hex:fffe4f004b00"},
                                 1,
                                 std::string(kDefault) + "\nOK\n",
                                 true}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(UpdateCliTest, WithoutAnAddressNothingIsAskedAndNothingFails) {
  unsetenv("VIREOMETER_UPDATE_URL");
  const CheckResult result = CheckUpdate();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, std::string(kDefault) + "\n");
  EXPECT_EQ(result.err.find(kDefault), std::string::npos) << "no red line: " << result.err;
  EXPECT_NE(result.err.find("VIREOMETER_UPDATE_URL"), std::string::npos) << result.err;
}

TEST_F(UpdateCliTest, AnAddressThatIsNotHttpIsRefused) {
  Serve({"--version", "hex:1612"});
  setenv("VIREOMETER_UPDATE_URL", "file:///etc", 1);
  const CheckResult result = CheckUpdate();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, std::string(kDefault) + "\n");
  EXPECT_NE(result.err.find("not an http or https address"), std::string::npos) << result.err;
}

TEST_F(UpdateCliTest, ServerThatNeverAnswersEndsInTheTimeOut) {
  Serve({"--hang"});
  const CheckResult result = CheckUpdate();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, std::string(kDefault) + "\n");
  EXPECT_NE(result.err.find(kDefault), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("imeout"), std::string::npos) << result.err;
}

TEST_F(UpdateCliTest, MegabytesAreReadOnlyUpTo64KiB) {
  // 8 MiB each: FF FE, then "A" as UTF-16LE. No version file is that long.
  Serve({"--version", "flood:8388608", "--advert", "flood:8388608"});
  const CheckResult result = CheckUpdate();
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("the answer has more than 65536 bytes, not the version file's 2"),
            std::string::npos)
      << result.err;
  const std::string updateLine = std::string(kDefault) + "\n";
  ASSERT_EQ(result.out.substr(0, updateLine.size()), updateLine);
  // 65536 bytes read: the mark and 32767 characters.
  EXPECT_EQ(result.out.substr(updateLine.size()), std::string(32767, 'A') + "\n");
}

}  // namespace
}  // namespace vireo
