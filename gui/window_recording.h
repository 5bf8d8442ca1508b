// WindowRecording: the window's recording of its live stream into a session store. It hears the
// stream through a FrameQueue drained on the GUI thread in batches (FrameBatches), and feeds a
// SessionRecorder, which keeps the session (its gaps across unplugs, its triggers and limits) and
// writes the store in batches; a timer ticks it at its next deadline. The window tells it when a
// stream starts; the end of a stream comes with the frames. Between recordings the frames are
// dropped.
#pragma once

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "acquire/frame_queue.h"
#include "acquire/live_stream.h"
#include "gui/frame_batches.h"
#include "record/record_store.h"
#include "record/session_recorder.h"

namespace vireo {

class WindowRecording final : public QObject {
  Q_OBJECT

 public:
  // Subscribes to the stream, which must not run yet; the stream must end before this goes.
  // `say` hears what happens, one line at a time; `progress` the upgrade of an older store.
  WindowRecording(LiveStream& stream, std::function<void(const std::string&)> say,
                  QObject* parent = nullptr);
  ~WindowRecording() override;

  // Opens the store for recording and arms the session: it starts with the next frames, or
  // when the start trigger fires. False, with the reason, when the store cannot be used.
  bool Begin(const std::string& storePath, const record::TriggerSettings& triggers,
             const record::UpgradeProgress& progress, std::string& error);
  // Stop recording: ends the session as stopped, writes its end and closes the store.
  void End();
  bool Recording() const { return recorder_ != nullptr; }
  // The meter whose frames are recorded, once a stream of it has started.
  const std::string& serial() const { return serial_; }
  const std::string& storePath() const { return storePath_; }

  // Before the window starts a stream: what the queue still holds belongs to the last one.
  void BeforeStreamStart();
  // A stream of this meter has started.
  void StreamStarted(const std::string& serial, const std::string& firmware);

  // The running session's figures; none while armed or after the end.
  std::optional<record::Summary> Figures() const;
  // Runs before the store is closed, so that readers in this process let go of it first.
  std::function<void()> beforeClose;

  // Whether the recording waits for its meter: before the first stream, and after it was lost.
  bool WaitingForMeter() const { return Recording() && meterLost_; }

 Q_SIGNALS:
  // The recording ended by itself: a limit, a stop trigger, a full disk, a failed write.
  void ended();

 private:
  void Drain();
  void Tick();
  void Schedule();
  // Closes the run: the rest written, the store closed (back to one file).
  void Close();

  std::function<void(const std::string&)> say_;
  FrameQueue queue_;
  FrameBatches batches_;
  QTimer timer_;
  std::vector<TimedReadings> frames_;
  std::unique_ptr<record::RecordStore> store_;
  std::unique_ptr<record::SessionRecorder> recorder_;
  std::string storePath_;
  std::string serial_;
  bool meterLost_ = false;
};

}  // namespace vireo
