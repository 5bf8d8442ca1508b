// WindowAlarms: the alarms of the window's meter. The rules come from the alarms file; one
// AlarmEngine hears the live stream through a FrameQueue that is drained on the GUI thread in
// batches (FrameBatches), and is ticked by a timer at its next deadline, so
// durations end and "meter lost" is raised without frames. Each raise is a red log line, the
// failure beep and a critical desktop notification; each clear a green line and a normal
// notification that replaces the raise's. The stream's thread only appends to the queue.
#pragma once

#include <QObject>
#include <QTimer>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "acquire/frame_queue.h"
#include "acquire/live_stream.h"
#include "alarms/alarm_engine.h"
#include "app/reporter.h"
#include "gui/desktop_notifier.h"
#include "gui/frame_batches.h"
#include "text/text_table.h"

namespace vireo {

class WindowAlarms final : public QObject, private alarms::AlarmListener {
  Q_OBJECT

 public:
  // Subscribes to the stream, which must not run yet; the stream must end before this goes.
  WindowAlarms(LiveStream& stream, const TextTable& texts, Reporter& reporter,
               QObject* parent = nullptr);

  // Takes the rules of the alarms file at `path`: a file that cannot be read means no alarms,
  // said in one warning line; a wrong rule is left out with a warning line of its own.
  void Load(const std::string& path);
  // A stream has started: time runs for durations and "meter lost".
  void StreamStarted();

  // Whether an alarm on the quantity (a name of kAlarmQuantities) is raised now.
  bool Raised(std::string_view quantity) const;
  const std::vector<alarms::AlarmRule>& rules() const { return rules_; }

 Q_SIGNALS:
  // An alarm was raised or cleared.
  void changed();

 private:
  void OnAlarm(const alarms::AlarmEvent& event) override;
  void Drain();
  void Tick();
  // Sets the timer to the engine's next deadline, while time runs.
  void Schedule();
  // A fresh engine on the rules: nothing raised.
  void Reset();

  const TextTable& texts_;
  Reporter& reporter_;
  FrameQueue queue_;
  FrameBatches batches_;
  QTimer timer_;
  DesktopNotifier notifier_;
  std::vector<alarms::AlarmRule> rules_;
  std::unique_ptr<alarms::AlarmEngine> engine_;
  std::vector<TimedReadings> frames_;
  bool timeRuns_ = false;
};

}  // namespace vireo
