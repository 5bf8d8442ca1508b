// SessionsPage: the recording sessions of one store. A row of controls starts and stops a
// recording (with the triggers of its dialog) and chooses the store; while recording, a line
// shows the running session's figures. Below, the store's sessions, newest first, over the
// session chosen in a SessionView. A session being recorded, by this window or by another
// program, is marked live and the list is read again every second while one is. Context menus
// rename and delete sessions, export a span or a session as CSV or JSON lines and save the
// chart as a picture. The window does the recording; the page tells it what the user asks.
#pragma once

#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSaveFile>
#include <QSplitter>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "pages/dialog_units.h"
#include "pages/sessions/session_view.h"
#include "pages/sessions/trigger_dialog.h"
#include "record/record_store.h"
#include "record/rows.h"
#include "record/session_keeper.h"
#include "text/text_table.h"

namespace vireo {

// The running session, about once a second.
struct RecordingFigures {
  double elapsedSeconds = 0;
  int64_t samples = 0;
  double energyWh = 0;
  double chargeMah = 0;
  int64_t gaps = 0;
  double coverage = 0;  // 0..1
  bool waitingForTrigger = false;
};

class SessionsPage : public QWidget {
 public:
  enum Column {
    kStart,
    kDuration,
    kSerial,
    kSamples,
    kEnergy,
    kCharge,
    kCoverage,
    kEnded,
    kTitle,
    kColumnCount
  };
  // What an export writes: the span (the cursors', else the visible one) or the whole session.
  enum class Extent { kSpan, kSession };
  static constexpr int kLiveRefreshMs = 1000;

  SessionsPage(const TextTable& texts, const DialogUnits& units, QWidget* parent = nullptr);
  ~SessionsPage() override;

  // The store listed, shown and recorded into; the page shows its path. A missing file is an
  // empty list (the first recording creates it).
  void SetStorePath(const QString& path);
  QString storePath() const { return storePath_; }
  // $XDG_DATA_HOME/vireometer/sessions.db, ~/.local/share/vireometer/sessions.db when unset.
  static QString DefaultStorePath();

  // Whether the window records: the button's caption, and the store and triggers stay as they
  // are while it does.
  void SetRecording(bool recording);
  bool recording() const { return recording_; }
  void ShowRecordingFigures(const RecordingFigures& figures);
  // Reads the session list again, keeping the selection; selects and shows the newest when
  // asked.
  void Refresh(bool showNewest = false);
  // Closes the page's connections to the store (the view's reader) for the recorder, which
  // wants the store to itself to leave it as one file. The next Refresh opens it again.
  void ReleaseStore();

  // The triggers that Record hands on.
  void SetTriggers(const record::TriggerSettings& triggers) { triggers_ = triggers; }
  const record::TriggerSettings& triggers() const { return triggers_; }

  // Message boxes off: confirmations are taken as given and errors only shown in the page's
  // message line (for tests).
  void SetMessageBoxesShown(bool shown) { messageBoxesShown_ = shown; }

  // The user's actions, as the controls and menus run them.
  void RecordClicked();
  void ChooseTriggers();
  void ChooseStore();
  void RenameSelected();
  // Asks, then deletes the chosen session on a thread of its own; the list is read again once
  // it is done.
  void DeleteSelected();
  bool deleting() const { return deleter_.joinable(); }
  void Export(Extent extent, record::RowFormat format);
  void SaveViewPng();

  // Record pressed, with the triggers chosen; Stop recording pressed.
  std::function<void(const record::TriggerSettings&)> onRecord;
  std::function<void()> onStopRecording;
  // Choosers of file names: the store (caption, filter) and a file to save (caption, filter,
  // default suffix). An empty result is a cancel. Tests replace them.
  std::function<QString(const QString&, const QString&)> chooseStoreFile;
  std::function<QString(const QString&, const QString&, const QString&)> chooseSaveFile;

  SessionView& view() { return *view_; }
  QTreeWidget& list() { return *list_; }
  QPushButton& recordButton() { return *record_; }
  QPushButton& triggersButton() { return *triggersButton_; }
  QPushButton& storeButton() { return *storeButton_; }
  QLabel& storeLabel() { return *storeLabel_; }
  QLabel& figuresLabel() { return *figures_; }
  // The last error or outcome the page showed, whole.
  QString message() const { return messageText_; }
  // The open triggers dialog, if any.
  TriggerDialog* triggerDialog() const { return triggerDialog_; }
  // The id of the session of a row of the list.
  static int64_t SessionIdOf(const QTreeWidgetItem& item);

 private:
  struct Listed;
  bool OpenReader(std::string& error);
  void ShowSelected();
  void UpdateTimer();
  void ShowMessage(const QString& text, bool error);
  const Listed* Selected() const;
  QString Describe(const Listed& session) const;
  // Writes a file whole or not at all and says how it went.
  bool SaveTo(const QString& path, const std::function<bool(QSaveFile&, std::string&)>& write);

  const TextTable& texts_;
  const DialogUnits units_;
  // Deletes a session off the GUI thread; joined when it reports back, or by the destructor.
  std::thread deleter_;
  QString storePath_;
  std::unique_ptr<record::RecordStore> reader_;
  std::vector<Listed> listed_;
  int64_t shownLiveId_ = -1;  // the session the view shows live, -1 when none
  record::TriggerSettings triggers_;
  bool recording_ = false;
  bool messageBoxesShown_ = true;
  QString messageText_;
  bool refreshFailed_ = false;  // the message line says why the list could not be read
  QTimer refresh_;

  QPushButton* record_;
  QPushButton* triggersButton_;
  QLabel* storeLabel_;
  QPushButton* storeButton_;
  QLabel* figures_;
  QLabel* message_;
  QSplitter* splitter_;
  QTreeWidget* list_;
  SessionView* view_;
  QMenu* listMenu_;
  QMenu* viewMenu_;
  TriggerDialog* triggerDialog_ = nullptr;
};

}  // namespace vireo
