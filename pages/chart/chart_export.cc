#include "pages/chart/chart_export.h"

#include <QSaveFile>

#include "pages/chart/chart_page.h"

namespace vireo {

std::string ExportChartPng(AppState& state, const QString& recordFile, const QString& pngFile,
                           bool full) {
  NullReporter reporter;
  ChartPage page(state, reporter);
  page.fullBox().setChecked(full);
  page.OpenRecordFile(recordFile);
  if (!page.view().recordSet()) {
    const RecordFileResult& load = page.view().lastLoad();
    std::string reason(RecordFileErrorText(load.error));
    if (!load.detail.empty()) {
      reason += ": " + load.detail;
    }
    return reason;
  }
  const QImage image = page.view().Render();
  QSaveFile out(pngFile);
  if (!out.open(QIODevice::WriteOnly) || !image.save(&out, "PNG") || !out.commit()) {
    return "cannot write " + pngFile.toStdString() + ": " + out.errorString().toStdString();
  }
  return {};
}

}  // namespace vireo
