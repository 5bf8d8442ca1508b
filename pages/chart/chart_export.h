// The chart of a record file as a picture, without a window: what the chart page shows in
// Records mode with that file loaded, at the chart's pixel size.
#pragma once

#include <QString>
#include <string>

#include "app/app_state.h"

namespace vireo {

// Renders `recordFile` as the chart page shows it (FULL ticked when `full`) and writes the
// PNG `pngFile` whole or not at all. Returns an empty string on success, else why not; a
// refused record file writes nothing.
std::string ExportChartPng(AppState& state, const QString& recordFile, const QString& pngFile,
                           bool full);

}  // namespace vireo
