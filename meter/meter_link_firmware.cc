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

bool MeterLink::EachBlock(uint32_t length, uint32_t block, const ProgressCallback& progress,
                          const std::function<bool(uint32_t, uint32_t)>& step) {
  if (block == 0)
    return length == 0;
  for (uint32_t offset = 0; offset < length; offset += block) {
    if (stop_ && stop_->load()) {
      lastFault_ = MeterFault::kStopped;
      return false;
    }
    const uint32_t k = std::min(block, length - offset);
    if (!step(offset, k))
      return false;
    Report(progress, static_cast<int>((uint64_t{offset} + k) * 100 / length));
  }
  return true;
}

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
  lastFault_ = MeterFault::kNone;
  bool ok = true;
  if (appSize > 0) {
    // Without the meter's consent to update, nothing is erased: that is a failure.
    ok = BeginFlashUpdate() &&
         EachBlock(appSize, eraseStep, progress,
                   [&](uint32_t offset, uint32_t) { return ErasePage(appStart + offset); });
    ok = CloseBracket() && ok;
  }
  if (ok)
    Report(progress, 100);
  return ok;
}

bool MeterLink::WriteApplication(const std::string& path, const LogoPatchBytes* logo,
                                 const ProgressCallback& progress) {
  Report(progress, 0);
  lastFault_ = MeterFault::kNone;
  const auto image = LoadImageForTransfer(path, logo);
  if (!image) {
    lastFault_ = MeterFault::kImageChanged;
    return false;
  }
  const uint8_t* payload = image->data() + kImageHeaderSize;
  const auto length = static_cast<uint32_t>(image->size() - kImageHeaderSize);
  bool ok = BeginFlashUpdate() &&
            EachBlock(length, kTransferBlock, progress, [&](uint32_t offset, uint32_t k) {
              return WriteFlashBlock(appStart + offset, payload + offset, k);
            });
  ok = CloseBracket() && ok;
  if (ok)
    Report(progress, 100);
  return ok;
}

bool MeterLink::VerifyApplication(const std::string& path, const LogoPatchBytes* logo,
                                  const ProgressCallback& progress) {
  Report(progress, 0);
  lastFault_ = MeterFault::kNone;
  const auto image = LoadImageForTransfer(path, logo);
  if (!image) {
    lastFault_ = MeterFault::kImageChanged;
    return false;
  }
  const uint8_t* payload = image->data() + kImageHeaderSize;
  const auto length = static_cast<uint32_t>(image->size() - kImageHeaderSize);
  uint8_t scratch[kTransferBlock];
  const bool ok = EachBlock(length, kTransferBlock, progress, [&](uint32_t offset, uint32_t k) {
    if (!ReadFlashBlock(appStart + offset, scratch, k))
      return false;
    if (std::equal(scratch, scratch + k, payload + offset))
      return true;
    lastFault_ = MeterFault::kMismatch;
    return false;
  });
  if (ok)
    Report(progress, 100);
  return ok;
}

bool MeterLink::CloseBracket() {
  // Sent whatever came before. The writes before it are not answered one by one: its ack is the
  // meter's word that it took them. After an earlier failure, that failure is the one reported.
  const MeterFault fault = lastFault_;
  const bool acknowledged = EndFlashUpdate();
  if (fault != MeterFault::kNone)
    lastFault_ = fault;
  return acknowledged;
}

}  // namespace vireo
