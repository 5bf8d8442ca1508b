// The readings page: the eight live values in large coloured figures with their labels, and
// the Fahrenheit checkbox. It never talks to the meter: every 300 ms it formats the current
// readings, whether it is shown or not. Its context menu opens the alarms; a field whose
// quantity has an alarm raised is marked.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QTimer>
#include <QWidget>
#include <array>
#include <functional>

#include "app/app_state.h"
#include "pages/dialog_units.h"
#include "pages/live_watch.h"
#include "pages/readings/value_field.h"

namespace vireo {

class ReadingsPage : public QWidget {
 public:
  enum Field {
    kVoltage,
    kCurrent,
    kPower,
    kResistance,
    kDPlus,
    kDMinus,
    kTempInternal,
    kTempExternal,
    kFieldCount
  };
  static constexpr int kRefreshMs = 300;

  // Laid out in `units`, those of the window's font.
  explicit ReadingsPage(const AppState& state, const DialogUnits& units = DialogUnits::Of(QFont()),
                        QWidget* parent = nullptr);

  // Rewrites every field from the current readings, dimmed while they are not live.
  void Refresh();
  // Marks a field, or takes the mark away.
  void SetMarked(Field which, bool marked) { fields_[which]->SetMarked(marked); }

  // The context menu's "Alarms…"; the menu offers it only when this is set.
  std::function<void()> onAlarms;

  const ValueField& field(Field which) const { return *fields_[which]; }
  const QLabel& label(Field which) const { return *labels_[which]; }
  QCheckBox& fahrenheitBox() { return *fahrenheit_; }
  const DialogLayout& layout() const { return *layout_; }

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  const AppState& state_;
  DialogLayout* layout_;
  std::array<ValueField*, kFieldCount> fields_{};
  std::array<QLabel*, kFieldCount> labels_{};
  QCheckBox* fahrenheit_ = nullptr;
  QTimer timer_;
  LiveWatch live_;
};

}  // namespace vireo
