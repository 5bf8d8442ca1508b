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

// Runs `step(offset, size)` over `length` bytes in blocks of `block` bytes (the last one may be
// shorter), reporting the share done after each block; stops at the first block that fails.
template <typename Step>
bool EachBlock(uint32_t length, uint32_t block, const ProgressCallback& progress, Step step) {
  if (block == 0)
    return length == 0;
  for (uint32_t offset = 0; offset < length; offset += block) {
    const uint32_t k = std::min(block, length - offset);
    if (!step(offset, k))
      return false;
    Report(progress, static_cast<int>((uint64_t{offset} + k) * 100 / length));
  }
  return true;
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
    ok = BeginFlashUpdate() &&
         EachBlock(appSize, eraseStep, progress,
                   [&](uint32_t offset, uint32_t) { return ErasePage(appStart + offset); });
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
    ok = BeginFlashUpdate() &&
         EachBlock(length, kTransferBlock, progress, [&](uint32_t offset, uint32_t k) {
           return WriteFlashBlock(appStart + offset, payload + offset, k);
         });
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
    ok = EachBlock(length, kTransferBlock, progress, [&](uint32_t offset, uint32_t k) {
      return ReadFlashBlock(appStart + offset, scratch, k) &&
             std::equal(scratch, scratch + k, payload + offset);
    });
  }
  Report(progress, 100);
  return ok;
}

}  // namespace vireo
