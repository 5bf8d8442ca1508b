// image, upgrade and logo: firmware image files, the firmware upgrade, and the start-up logo.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "app/upgrade_control.h"
#include "cli/commands.h"
#include "cli/upgrade_reporter.h"
#include "meter/logo_conversion.h"

namespace vireo::cli {
namespace {

std::string Hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", v);
  return text;
}

int Image(const std::string& path, bool json) {
  MeterLink link;
  link.Configure();
  const ImageCheck c = link.CheckImage(path);
  // A file without the magic is no image: its header bytes mean nothing.
  const bool header = c.fileLength >= kImageHeaderSize && c.failed != ImageRule::kMagic;
  // The payload's own XOR and sums are known once the length rule held.
  const bool summed = c.failed == ImageRule::kNone || c.failed == ImageRule::kXor ||
                      c.failed == ImageRule::kSum || c.failed == ImageRule::kTrailingSum ||
                      c.failed == ImageRule::kSize;
  if (json) {
    nlohmann::ordered_json out;
    out["file"] = path;
    out["valid"] = c.valid();
    out["failed"] = c.valid() ? nlohmann::ordered_json() : ImageRuleName(c.failed);
    if (header) {
      out["length"] = c.fileLength;
      char date[16];
      std::snprintf(date, sizeof date, "%04u-%02u-%02u", c.year, c.month, c.day);
      out["date"] = date;
      out["payloadLength"] = c.payloadLength;
      out["headerXor"] = c.headerXor;
      out["headerSum"] = c.headerSum;
      out["trailingSum"] = c.trailingSum;
      if (summed) {
        out["payloadXor"] = c.payloadXor;
        out["payloadSum"] = c.payloadSum;
      }
      out["logoArea"] = c.logoMarked;
    }
    std::printf("%s\n", out.dump().c_str());
  } else {
    if (header) {
      std::printf("file: %s\nlength: %zu bytes\n", path.c_str(), c.fileLength);
      std::printf("date: %04u-%02u-%02u\n", c.year, c.month, c.day);
      std::printf("payload: %u bytes\n", c.payloadLength);
      std::printf("xor: %s", Hex(c.headerXor).c_str());
      if (summed)
        std::printf(" (payload %s)", Hex(c.payloadXor).c_str());
      std::printf("\nsum: %s", Hex(c.headerSum).c_str());
      if (summed)
        std::printf(" (payload %s)", Hex(c.payloadSum).c_str());
      std::printf("\ntrailing sum: %s\n", Hex(c.trailingSum).c_str());
      std::printf("logo area: %s\n", c.logoMarked ? "marked" : "not marked");
    } else {
      std::printf("file: %s\n", path.c_str());
    }
    std::printf(c.valid() ? "valid\n" : "invalid: %s\n", ImageRuleName(c.failed));
  }
  return c.valid() ? kExitOk : kExitFailed;
}

struct LogoOptions {
  std::string bitmap;
  std::optional<int> tolerance;
  std::string patchOut;
};

// The bitmap through the page's steps: check, tolerance (searched unless given), conversion,
// preview beside the source. Nothing when the bitmap is refused.
struct ConvertedLogo {
  int tolerance = 0;
  uint32_t size = 0;
  LogoPatchBytes bytes{};  // as the conversion left them: all zeros when it did not fit
  bool fits() const { return size <= kLogoSizeLimit; }
};

std::optional<ConvertedLogo> ConvertBitmap(const LogoOptions& options, const TextTable& texts,
                                           Reporter& reporter) {
  if (!CheckLogoBitmap(options.bitmap)) {
    reporter.AppendLog(texts[TXT_ERR_BMP], LogLevel::kError);
    reporter.NewLogLine();
    return std::nullopt;
  }
  const auto pixels = LoadLogoPixels(options.bitmap);
  if (!pixels) {
    // The header promised a logo bitmap, the rows did not follow.
    reporter.AppendLog(texts[TXT_ERR_BMP], LogLevel::kError);
    reporter.NewLogLine();
    return std::nullopt;
  }
  ConvertedLogo logo;
  if (options.tolerance) {
    logo.tolerance = *options.tolerance;
  } else {
    const int found = FindLogoTolerance(*pixels);
    if (found < kNoLogoTolerance) {
      logo.tolerance = found;
      reporter.AppendLog(texts[TXT_BMP_ACCEPTED], LogLevel::kSuccess);
    } else {
      reporter.AppendLog(texts[TXT_ERR_BMP_LIMIT], LogLevel::kError);
    }
    reporter.NewLogLine();
  }
  LogoHeader header;
  logo.size = ConvertLogo(*pixels, logo.tolerance, header, logo.bytes);
  reporter.AppendLog(LogoNotice(texts, logo.size),
                     logo.fits() ? LogLevel::kNormal : LogLevel::kError);
  reporter.NewLogLine();
  if (logo.fits())
    WriteLogoPreview(LogoPreviewName(options.bitmap), logo.bytes);
  return logo;
}

bool WritePatch(const std::string& path, const LogoPatchBytes& patch) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(patch.data()), patch.size());
    if (!out.flush()) {
      std::remove(temporary.c_str());
      return false;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

int Logo(const LogoOptions& options) {
  Session session;
  const auto logo = ConvertBitmap(options, session.state.texts, session.reporter);
  if (!logo)
    return kExitFailed;
  std::printf("tolerance: %d\nsize: %u\n", logo->tolerance, logo->size);
  if (!logo->fits())
    return kExitFailed;
  if (!options.patchOut.empty() && !WritePatch(options.patchOut, logo->bytes)) {
    std::fprintf(stderr, "vireometer-cli: cannot write %s\n", options.patchOut.c_str());
    return kExitFailed;
  }
  return kExitOk;
}

int Upgrade(const std::string& image, const LogoOptions& logoOptions, const std::string& meter) {
  // Ctrl-C and SIGTERM stop the upgrade after the block in hand, never half-way through one; a
  // closed standard error does not stop it at all.
  const sigset_t signals = BlockStopSignals();
  Session session;
  if (!session.UseMeter(meter))
    return kExitFailed;
  // DFUSTART's checks identify the meter, the meter not having been identified yet.
  UpgradeReporter reporter(session.reporter, stderr, isatty(STDERR_FILENO) != 0);
  UpgradeRequest request;
  request.firmwarePath = image;
  if (!logoOptions.bitmap.empty()) {
    const auto logo = ConvertBitmap(logoOptions, session.state.texts, reporter);
    if (!logo)
      return kExitFailed;
    request.logo = logo->bytes;
    request.logoSize = logo->size;
  }
  UpgradeControl upgrade(session.link, session.state, reporter);
  if (!upgrade.Request(request))
    return kExitFailed;
  WaitTakingStopSignals(
      signals, [&] { return upgrade.IsRunning(); }, [&] { upgrade.RequestStop(); });
  upgrade.WaitIdle();
  return upgrade.LastUpgradeSucceeded() ? kExitOk : kExitFailed;
}

CLI::Option* AddTolerance(CLI::App& command, LogoOptions& options) {
  return command
      .add_option_function<int>(
          "--tolerance", [&options](const int& t) { options.tolerance = t; },
          "Colour tolerance in per mille, 0..999, instead of the smallest that fits.")
      ->check(CLI::Range(0, kMaxLogoTolerance))
      ->type_name("T");
}

}  // namespace

void AddFirmwareCommands(CLI::App& app, int& status) {
  auto* image = app.add_subcommand(
      "image",
      "Check a firmware image file as the upgrade does and describe it: date, payload length, "
      "XOR and sums, whether the logo area is marked, then 'valid' or the first rule that "
      "failed. Exit status 0 for a valid image.");
  auto imagePath = std::make_shared<std::string>();
  auto json = std::make_shared<bool>(false);
  image->add_option("FILE", *imagePath, "The image file (.lrm).")->required();
  image->add_flag("--json", *json, "Print one JSON object instead.");
  image->callback([&status, imagePath, json] { status = Image(*imagePath, *json); });

  auto* upgrade = app.add_subcommand(
      "upgrade",
      "Replace the meter's firmware with an image, the meter being in its upgrade mode: the "
      "checks of DFUSTART, then check, erase, write and verify, with progress. With --logo the "
      "bitmap is converted as on the firmware page and written into the image's logo area. "
      "Ctrl-C stops after the block in hand; the meter stays in upgrade mode and running the "
      "upgrade again completes it. Exit status 0 when the upgrade succeeded.");
  auto upgradeImage = std::make_shared<std::string>();
  auto upgradeLogo = std::make_shared<LogoOptions>();
  upgrade->add_option("FILE", *upgradeImage, "The image file (.lrm).")->required();
  auto* logoOption = upgrade->add_option("--logo", upgradeLogo->bitmap,
                                         "A 24-bit 128 x 128 BMP to carry as the start-up logo.");
  logoOption->type_name("BMP");
  AddTolerance(*upgrade, *upgradeLogo)->needs(logoOption);
  auto upgradeMeter = std::make_shared<std::string>();
  AddMeterOption(*upgrade, *upgradeMeter);
  upgrade->callback([&status, upgradeImage, upgradeLogo, upgradeMeter] {
    status = Upgrade(*upgradeImage, *upgradeLogo, *upgradeMeter);
  });

  auto* logo = app.add_subcommand(
      "logo",
      "Convert a 24-bit 128 x 128 BMP into the meter's logo: the smallest tolerance that fits "
      "4096 bytes (or --tolerance), the preview BMP beside the source (NAME_Tarndeal.bmp), "
      "'tolerance: T' and 'size: N'. Exit status 1 when the bitmap is refused or too big; "
      "nothing is written then.");
  auto logoOptions = std::make_shared<LogoOptions>();
  logo->add_option("BMP", logoOptions->bitmap, "The source bitmap.")->required();
  AddTolerance(*logo, *logoOptions);
  logo->add_option("--patch", logoOptions->patchOut, "Also write the 4096-byte logo to OUT.")
      ->type_name("OUT");
  logo->callback([&status, logoOptions] { status = Logo(*logoOptions); });
}

}  // namespace vireo::cli
