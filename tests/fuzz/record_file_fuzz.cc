// Record files fed from bytes: the decoder, and the record curves drawn from what it accepts
// at both FULL settings. Checks what must hold for any input: a set has exactly the points it
// counts, and every line of the curves stays inside the client area.
#include <cstdint>
#include <span>

#include "meter/record_file.h"
#include "pages/chart/chart_scene.h"

namespace {

constexpr vireo::ChartRect kClient{0, 0, 577, 261};

void Check(bool condition) {
  if (!condition)
    __builtin_trap();
}

bool Inside(int x, int y) {
  return x >= kClient.left && x <= kClient.right && y >= kClient.top && y <= kClient.bottom;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto result = vireo::DecodeRecordFile(std::span<const uint8_t>(data, size));
  if (!result.ok()) {
    Check(result.set.points.empty());
    Check(!vireo::RecordFileErrorText(result.error).empty());
    return 0;
  }
  const vireo::RecordSet& set = result.set;
  Check(size >= 2 && data[0] == 5 && data[1] != 0);
  Check(set.count == (size - 2) / 5 && set.points.size() == set.count);
  for (const bool full : {false, true}) {
    const vireo::RecordCurves curves = vireo::BuildRecordCurves(set, full, kClient);
    Check(curves.labelsDrawn == (set.count > 1));
    for (const vireo::ChartItem& item : curves.items) {
      if (const auto* lines = std::get_if<vireo::ChartLines>(&item)) {
        for (const vireo::ChartSegment& s : lines->segments) {
          // Column 520 is the one right of the right frame line, where FULL ends a set.
          Check(Inside(s.x1, s.y1) && Inside(s.x2, s.y2) && s.x1 <= 520 && s.x2 <= 520);
        }
      }
    }
  }
  std::string csv = vireo::RecordRowsCsv(set);
  Check(!csv.empty());
  return 0;
}
