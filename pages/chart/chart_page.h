// ChartPage: the chart page, slot 1 of the tab control. It hosts the chart and the controls
// that steer it: the mode combo (Live or Records), in Live mode the rate combo, in Records
// mode ReadOff, the path of the record file, ShowOff and FULL. In Live mode its timer samples
// the current readings into the stores while the live stream runs; in Records mode the chart
// shows a record file, read out of the meter or opened from disk. A context menu on the chart
// saves it as an image or exports what it shows as CSV.
#pragma once

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <functional>

#include "app/app_state.h"
#include "app/reporter.h"
#include "pages/chart/chart_view.h"
#include "pages/dialog_units.h"

namespace vireo {

class ChartPage : public QWidget {
 public:
  enum Mode { kLive = 0, kRecords = 1 };

  // The reporter shows the log lines of saving and exporting; it is called on the GUI thread.
  // Laid out in `units`, those of the window's font.
  ChartPage(AppState& state, Reporter& reporter,
            const DialogUnits& units = DialogUnits::Of(QFont()), QWidget* parent = nullptr);

  // ReadOff asks for a read-out through this (the window's read-out request).
  std::function<void()> onReadOff;
  // Choosers of file names: ShowOff's open dialog, and the save dialog of the context menu
  // (caption, filter, default suffix). An empty result is a cancel. Tests replace them.
  std::function<QString()> chooseRecordFile;
  std::function<QString(const QString&, const QString&, const QString&)> chooseSaveFile;

  // The records-ready notice: the record file at `path` becomes the page's, shown in the path
  // edit and loaded; choosing Records again loads it again.
  void LoadRecords(const std::string& path);
  // Shows a record file as if it had been chosen with ShowOff, in Records mode.
  void OpenRecordFile(const QString& path);

  // The handlers of the controls, as a user's action runs them.
  void SelectMode();
  void RateChanged();
  void FullToggled();
  void ReadOff();
  void ShowOff();
  void SaveImage();
  void ExportCsv();

  // The period of the rate combo's selection.
  uint32_t SamplePeriodMs() const;
  int chartMode() const { return chartMode_; }
  // The record file the page shows in Records mode, as the file system names it; empty before
  // the first.
  const std::string& recordPath() const { return recordPath_; }

  ChartView& view() { return *view_; }
  QComboBox& modeCombo() { return *mode_; }
  QComboBox& rateCombo() { return *rate_; }
  QPushButton& readOffButton() { return *readOff_; }
  QLineEdit& pathEdit() { return *path_; }
  QPushButton& showOffButton() { return *showOff_; }
  QCheckBox& fullBox() { return *full_; }
  const QTimer& samplingTimer() const { return samplingTimer_; }
  QAction& saveImageAction() { return *saveImage_; }
  QAction& exportCsvAction() { return *exportCsv_; }

 private:
  void ApplyMode();
  void Tick();
  void ShowContextMenu(const QPoint& at);
  // Writes a file whole or not at all and logs the outcome.
  void SaveFile(const QString& path, const std::function<bool(QIODevice&)>& write);

  AppState& state_;
  Reporter& reporter_;
  DialogLayout* layout_;
  int chartMode_ = kLive;
  std::string recordPath_;
  ChartView* view_;
  QComboBox* mode_;
  QComboBox* rate_;
  QPushButton* readOff_;
  QLineEdit* path_;
  QPushButton* showOff_;
  QCheckBox* full_;
  QTimer samplingTimer_;
  QMenu* menu_;
  QAction* saveImage_;
  QAction* exportCsv_;
};

}  // namespace vireo
