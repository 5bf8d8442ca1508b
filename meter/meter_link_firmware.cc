// The firmware transfer of MeterLink: check, erase, write and verify the application area.
#include <algorithm>

#include "meter/meter_link.h"

namespace vireo {

namespace {

constexpr uint32_t kTransferBlock = 1024;  // bytes per WriteFlashBlock and ReadFlashBlock

void Report(const ProgressCallback& progress, int percent) {
  if (progress)
    progress(percent);
}

}  // namespace

ImageCheck MeterLink::CheckImage(const std::string& path) const {
  bool tooLong = false;
  const auto image = ReadImageFile(path, kImageHeaderSize + appSize, &tooLong);
  if (!image) {
    ImageCheck check;
    check.failed = tooLong ? ImageRule::kSize : ImageRule::kUnreadable;
    return check;
  }
  return vireo::CheckImage(*image, productIdentifier, appSize);
}

std::optional<std::vector<uint8_t>> MeterLink::LoadImageForTransfer(
    const std::string& path, const LogoPatchBytes* logo) const {
  auto image = ReadImageFile(path, kImageHeaderSize + appSize);
  // The file is read anew; one changed since the check is not sent to the meter.
  if (!image || !vireo::CheckImage(*image, productIdentifier, appSize).valid())
    return std::nullopt;
  if (logo)
    ApplyLogoPatch(*image, *logo);
  return image;
}

bool MeterLink::EraseApplication(const ProgressCallback& progress) {
  Report(progress, 0);
  bool ok = true;
  if (appSize > 0) {
    // Without the meter's consent to update, nothing is erased: that is a failure.
    ok = BeginFlashUpdate();
    for (uint32_t offset = 0; ok && offset < appSize; offset += eraseStep) {
      if (!ErasePage(appStart + offset)) {
        ok = false;
        break;
      }
      Report(progress, static_cast<int>((uint64_t{offset} + eraseStep) * 100 / appSize));
    }
    EndFlashUpdate();
  }
  Report(progress, 100);
  return ok;
}

bool MeterLink::WriteApplication(const std::string& path, const LogoPatchBytes* logo,
                                 const ProgressCallback& progress) {
  Report(progress, 0);
  const auto image = LoadImageForTransfer(path, logo);
  bool ok = image.has_value();
  if (ok) {
    const uint8_t* payload = image->data() + kImageHeaderSize;
    const auto length = static_cast<uint32_t>(image->size() - kImageHeaderSize);
    ok = BeginFlashUpdate();
    for (uint32_t offset = 0; ok && offset < length; offset += kTransferBlock) {
      const uint32_t k = std::min(kTransferBlock, length - offset);
      if (!WriteFlashBlock(appStart + offset, payload + offset, k)) {
        ok = false;
        break;
      }
      Report(progress, static_cast<int>((uint64_t{offset} + k) * 100 / length));
    }
    EndFlashUpdate();
  }
  Report(progress, 100);
  return ok;
}

bool MeterLink::VerifyApplication(const std::string& path, const LogoPatchBytes* logo,
                                  const ProgressCallback& progress) {
  Report(progress, 0);
  const auto image = LoadImageForTransfer(path, logo);
  bool ok = image.has_value();
  if (ok) {
    const uint8_t* payload = image->data() + kImageHeaderSize;
    const auto length = static_cast<uint32_t>(image->size() - kImageHeaderSize);
    uint8_t scratch[kTransferBlock];
    for (uint32_t offset = 0; offset < length; offset += kTransferBlock) {
      const uint32_t k = std::min(kTransferBlock, length - offset);
      if (!ReadFlashBlock(appStart + offset, scratch, k) ||
          !std::equal(scratch, scratch + k, payload + offset)) {
        ok = false;
        break;
      }
      Report(progress, static_cast<int>((uint64_t{offset} + k) * 100 / length));
    }
  }
  Report(progress, 100);
  return ok;
}

}  // namespace vireo
