#include "pages/sessions/sessions_page.h"

#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QMessageBox>
#include <QSaveFile>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <thread>

#include "record/store_edit.h"

namespace vireo {
namespace {

QString Text(const std::string& text) {
  return QString::fromStdString(text);
}

// Seconds as h:mm:ss.
QString Clock(double seconds) {
  const auto s = static_cast<long long>(std::llround(std::max(seconds, 0.0)));
  return QString::asprintf("%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
}

// A label that shows as much of its text as fits, the whole of it as its tooltip.
class ElidedLabel : public QLabel {
 public:
  ElidedLabel(Qt::TextElideMode mode, QWidget* parent) : QLabel(parent), mode_(mode) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setTextFormat(Qt::PlainText);
  }
  void SetFullText(const QString& text) {
    full_ = text;
    setToolTip(text);
    Elide();
  }
  QSize minimumSizeHint() const override {
    return QSize(fontMetrics().averageCharWidth() * 4, QLabel::minimumSizeHint().height());
  }
  QSize sizeHint() const override {
    return QSize(fontMetrics().horizontalAdvance(full_), QLabel::sizeHint().height());
  }

 protected:
  void resizeEvent(QResizeEvent* event) override {
    QLabel::resizeEvent(event);
    Elide();
  }
  void changeEvent(QEvent* event) override {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
      Elide();
    }
  }

 private:
  void Elide() { setText(fontMetrics().elidedText(full_, mode_, contentsRect().width())); }
  const Qt::TextElideMode mode_;
  QString full_;
};

// The session list: a few rows high unless the user gives it more.
class SessionList : public QTreeWidget {
 public:
  explicit SessionList(QWidget* parent) : QTreeWidget(parent) {}
  QSize sizeHint() const override {
    const int rows = 3;
    return QSize(
        QTreeWidget::sizeHint().width(),
        header()->sizeHint().height() + rows * (fontMetrics().height() + 4) + 2 * frameWidth());
  }
  QSize minimumSizeHint() const override {
    return QSize(QTreeWidget::minimumSizeHint().width(),
                 header()->sizeHint().height() + fontMetrics().height() + 4 + 2 * frameWidth());
  }
};

}  // namespace

struct SessionsPage::Listed {
  record::StoredSession session;
  bool live = false;
};

SessionsPage::SessionsPage(const TextTable& texts, const DialogUnits& units, QWidget* parent)
    : QWidget(parent),
      texts_(texts),
      units_(units),
      record_(new QPushButton(Text(texts.Extra("record")), this)),
      triggersButton_(new QPushButton(Text(texts.Extra("triggers")), this)),
      // A path keeps its file name, figures and messages their start.
      storeLabel_(new ElidedLabel(Qt::ElideMiddle, this)),
      storeButton_(new QPushButton(Text(texts.Extra("choose_store")), this)),
      figures_(new ElidedLabel(Qt::ElideRight, this)),
      message_(new ElidedLabel(Qt::ElideRight, this)),
      splitter_(new QSplitter(Qt::Vertical, this)),
      list_(new SessionList(splitter_)),
      view_(new SessionView(texts, splitter_)),
      listMenu_(new QMenu(this)),
      viewMenu_(new QMenu(this)) {
  storeLabel_->setAccessibleName(Text(texts.Extra("store_name")));
  figures_->setAccessibleName(Text(texts.Extra("recording_figures_name")));
  figures_->hide();
  message_->setAccessibleName(Text(texts.Extra("page_message_name")));
  message_->hide();

  list_->setAccessibleName(Text(texts.Extra("session_list_name")));
  list_->setColumnCount(kColumnCount);
  list_->setHeaderLabels({Text(texts.Extra("column_start")), Text(texts.Extra("column_duration")),
                          Text(texts.Extra("column_serial")), Text(texts.Extra("column_samples")),
                          Text(texts.Extra("column_energy")), Text(texts.Extra("column_charge")),
                          Text(texts.Extra("column_coverage")), Text(texts.Extra("column_ended")),
                          Text(texts.Extra("column_title"))});
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->setAllColumnsShowFocus(true);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setContextMenuPolicy(Qt::CustomContextMenu);
  list_->header()->setStretchLastSection(true);
  list_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  list_->header()->setSectionResizeMode(kTitle, QHeaderView::Stretch);

  SessionPlot* plot = view_->plot();
  plot->setMinimumSize(units.X(60), units.Y(20));
  plot->setAccessibleName(Text(texts.Extra("session_view_name")));
  plot->setFocusPolicy(Qt::StrongFocus);
  plot->setContextMenuPolicy(Qt::CustomContextMenu);
  splitter_->setChildrenCollapsible(false);
  splitter_->setStretchFactor(0, 0);
  splitter_->setStretchFactor(1, 1);

  auto* controls = new QHBoxLayout;
  controls->addWidget(record_);
  controls->addWidget(triggersButton_);
  controls->addWidget(storeLabel_, 1);
  controls->addWidget(storeButton_);
  auto* layout = new QVBoxLayout(this);
  const int margin = units.X(2);
  layout->setContentsMargins(margin, margin, margin, margin);
  layout->setSpacing(units.Y(2));
  layout->addLayout(controls);
  layout->addWidget(figures_);
  layout->addWidget(message_);
  layout->addWidget(splitter_, 1);

  QAction* rename = listMenu_->addAction(Text(texts.Extra("rename_session")));
  QAction* remove = listMenu_->addAction(Text(texts.Extra("delete_session")));
  connect(rename, &QAction::triggered, this, &SessionsPage::RenameSelected);
  connect(remove, &QAction::triggered, this, &SessionsPage::DeleteSelected);
  // The list's keys: F2 renames, Delete deletes.
  rename->setShortcut(Qt::Key_F2);
  remove->setShortcut(QKeySequence::Delete);
  for (QAction* action : {rename, remove}) {
    action->setShortcutContext(Qt::WidgetShortcut);
    action->setEnabled(false);
    list_->addAction(action);
  }
  const struct {
    ExtraKey key;
    Extent extent;
    record::RowFormat format;
  } exports[] = {
      {"export_span_csv", Extent::kSpan, record::RowFormat::kCsv},
      {"export_span_jsonl", Extent::kSpan, record::RowFormat::kJsonl},
      {"export_session_csv", Extent::kSession, record::RowFormat::kCsv},
      {"export_session_jsonl", Extent::kSession, record::RowFormat::kJsonl},
  };
  for (const auto& e : exports) {
    QAction* action = viewMenu_->addAction(Text(texts.Extra(e.key)));
    connect(action, &QAction::triggered, this,
            [this, extent = e.extent, format = e.format] { Export(extent, format); });
  }
  viewMenu_->addSeparator();
  connect(viewMenu_->addAction(Text(texts.Extra("save_view_png"))), &QAction::triggered, this,
          &SessionsPage::SaveViewPng);
  // The value axes keep their scales while the user zooms and pans, to compare spans.
  QAction* hold = viewMenu_->addAction(Text(texts.Extra("hold_scales")));
  hold->setCheckable(true);
  connect(hold, &QAction::toggled, this, [this](bool held) { view_->plot()->SetScalesHeld(held); });

  connect(record_, &QPushButton::clicked, this, &SessionsPage::RecordClicked);
  connect(triggersButton_, &QPushButton::clicked, this, &SessionsPage::ChooseTriggers);
  connect(storeButton_, &QPushButton::clicked, this, &SessionsPage::ChooseStore);
  connect(list_, &QTreeWidget::itemSelectionChanged, this, &SessionsPage::ShowSelected);
  connect(list_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    if (QTreeWidgetItem* item = list_->itemAt(at)) {
      list_->setCurrentItem(item);
    }
    listMenu_->popup(list_->viewport()->mapToGlobal(at));
  });
  connect(plot, &QWidget::customContextMenuRequested, this, [this, plot](const QPoint& at) {
    for (QAction* action : viewMenu_->actions()) {
      action->setEnabled(view_->sessionId() != 0);
    }
    viewMenu_->popup(plot->mapToGlobal(at));
  });
  connect(&refresh_, &QTimer::timeout, this, [this] { Refresh(); });

  chooseStoreFile = [this](const QString& caption, const QString& filter) {
    return QFileDialog::getSaveFileName(this, caption, storePath_, filter, nullptr,
                                        QFileDialog::DontConfirmOverwrite);
  };
  chooseSaveFile = [this](const QString& caption, const QString& filter, const QString& suffix) {
    QString path = QFileDialog::getSaveFileName(this, caption, QString(), filter);
    if (!path.isEmpty() && QFileInfo(path).suffix().isEmpty()) {
      path += "." + suffix;
    }
    return path;
  };
}

SessionsPage::~SessionsPage() {
  if (deleter_.joinable()) {
    deleter_.join();
  }
  // The view reads the store until it is told otherwise.
  view_->Clear();
}

QString SessionsPage::DefaultStorePath() {
  QString data = qEnvironmentVariable("XDG_DATA_HOME");
  if (data.isEmpty() || !QDir::isAbsolutePath(data)) {
    data = QDir::homePath() + "/.local/share";
  }
  return data + "/vireometer/sessions.db";
}

void SessionsPage::SetStorePath(const QString& path) {
  view_->Clear();
  reader_.reset();
  listed_.clear();
  list_->clear();
  storePath_ = path;
  static_cast<ElidedLabel*>(storeLabel_)->SetFullText(QDir::toNativeSeparators(path));
  messageText_.clear();
  message_->hide();
  Refresh(true);
}

void SessionsPage::SetRecording(bool recording) {
  recording_ = recording;
  record_->setText(Text(texts_.Extra(recording ? ExtraKey("stop_recording") : ExtraKey("record"))));
  triggersButton_->setEnabled(!recording);
  storeButton_->setEnabled(!recording);
  if (!recording) {
    figures_->hide();
  }
  UpdateTimer();
}

void SessionsPage::ShowRecordingFigures(const RecordingFigures& f) {
  const std::string text =
      f.waitingForTrigger
          ? texts_.Extra("waiting_for_trigger")
          : FillIn(texts_.Extra("recording_figures"),
                   {Clock(f.elapsedSeconds).toStdString(), std::to_string(f.samples),
                    QString::number(f.energyWh, 'f', 4).toStdString(),
                    QString::number(f.chargeMah, 'f', 2).toStdString(), std::to_string(f.gaps),
                    QString::number(100 * f.coverage, 'f', 1).toStdString()});
  static_cast<ElidedLabel*>(figures_)->SetFullText(Text(text));
  figures_->show();
}

bool SessionsPage::OpenReader(std::string& error) {
  auto store = std::make_unique<record::RecordStore>();
  const record::StoreOpenResult opened = store->OpenForReading(storePath_.toStdString());
  if (opened.error != record::StoreError::kNone) {
    error = opened.message;
    return false;
  }
  reader_ = std::move(store);
  return true;
}

void SessionsPage::Refresh(bool showNewest) {
  std::vector<record::StoredSession> sessions;
  std::string error;
  bool live = false;
  // A missing store is an empty one: the first recording creates it.
  if (!storePath_.isEmpty() && QFileInfo::exists(storePath_)) {
    if (reader_ || OpenReader(error)) {
      sessions = reader_->Sessions(error);
      live = reader_->BeingRecorded();
    }
  } else if (reader_) {
    view_->Clear();
    reader_.reset();
  }
  if (!error.empty()) {
    ShowMessage(Text(FillIn(texts_.Extra("store_refused"), {storePath_.toStdString(), error})),
                false);
    refreshFailed_ = true;
  } else if (refreshFailed_) {
    refreshFailed_ = false;
    messageText_.clear();
    message_->hide();
  }

  const QList<QTreeWidgetItem*> selection = list_->selectedItems();
  const int64_t selected = selection.isEmpty() ? 0 : SessionIdOf(*selection.front());
  listed_.clear();
  for (auto it = sessions.rbegin(); it != sessions.rend(); ++it) {
    const bool isLive = live && !it->endUs;
    listed_.push_back({std::move(*it), isLive});
  }
  const QSignalBlocker blocker(list_);
  for (size_t i = 0; i < listed_.size(); ++i) {
    const Listed& l = listed_[i];
    const record::StoredSession& s = l.session;
    QTreeWidgetItem* item = list_->topLevelItem(static_cast<int>(i));
    if (!item || SessionIdOf(*item) != s.id) {
      item = nullptr;
      for (int j = static_cast<int>(i) + 1; j < list_->topLevelItemCount(); ++j) {
        if (SessionIdOf(*list_->topLevelItem(j)) == s.id) {
          item = list_->takeTopLevelItem(j);
          break;
        }
      }
      if (!item) {
        item = new QTreeWidgetItem;
        item->setData(kStart, Qt::UserRole, QVariant::fromValue<qlonglong>(s.id));
      }
      list_->insertTopLevelItem(static_cast<int>(i), item);
    }
    const record::Summary& m = s.summary;
    const double seconds = s.endUs ? static_cast<double>(*s.endUs) / 1e6 : m.durationSeconds;
    QString ended;
    if (l.live) {
      ended = Text(texts_.Extra("ended_recording"));
    } else if (!s.ended) {
      ended = Text(texts_.Extra("ended_unfinished"));
    } else {
      std::string name = std::string("ended_").append(*s.ended);
      std::replace(name.begin(), name.end(), ' ', '_');
      const std::optional<ExtraKey> known = ExtraKey::Find(name);
      ended = known ? Text(texts_.Extra(*known)) : Text(*s.ended);
    }
    const QString texts[kColumnCount] = {
        Describe(l),
        Clock(seconds),
        Text(s.serial),
        s.hasSummary ? QString::number(m.samples) : QString(),
        s.hasSummary ? QString::number(m.energyWh, 'f', 4) : QString(),
        s.hasSummary ? QString::number(m.chargeMah, 'f', 2) : QString(),
        s.hasSummary ? QString::number(100 * m.coverage, 'f', 1) + " %" : QString(),
        ended,
        Text(s.title),
    };
    for (int c = 0; c < kColumnCount; ++c) {
      item->setText(c, texts[c]);
      if (c >= kSamples && c <= kCoverage) {
        item->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
      }
    }
    QFont font = item->font(kEnded);
    font.setBold(l.live);
    item->setFont(kEnded, font);
  }
  while (list_->topLevelItemCount() > static_cast<int>(listed_.size())) {
    delete list_->takeTopLevelItem(list_->topLevelItemCount() - 1);
  }
  int select = -1;
  if (showNewest && !listed_.empty()) {
    select = 0;
  } else {
    for (size_t i = 0; i < listed_.size(); ++i) {
      if (listed_[i].session.id == selected) {
        select = static_cast<int>(i);
      }
    }
  }
  if (select >= 0) {
    list_->setCurrentItem(list_->topLevelItem(select));
  } else {
    list_->clearSelection();
  }
  ShowSelected();
  UpdateTimer();
}

void SessionsPage::ReleaseStore() {
  view_->Clear();
  reader_.reset();
}

int64_t SessionsPage::SessionIdOf(const QTreeWidgetItem& item) {
  return item.data(kStart, Qt::UserRole).toLongLong();
}

const SessionsPage::Listed* SessionsPage::Selected() const {
  const QList<QTreeWidgetItem*> items = list_->selectedItems();
  if (items.isEmpty()) {
    return nullptr;
  }
  const int64_t id = SessionIdOf(*items.front());
  const auto found = std::find_if(listed_.begin(), listed_.end(),
                                  [id](const Listed& l) { return l.session.id == id; });
  return found == listed_.end() ? nullptr : &*found;
}

void SessionsPage::ShowSelected() {
  const Listed* selected = Selected();
  for (QAction* action : listMenu_->actions()) {
    action->setEnabled(selected != nullptr);
  }
  if (!selected || !reader_) {
    view_->Clear();
    shownLiveId_ = -1;
    return;
  }
  const int64_t id = selected->session.id;
  if (view_->sessionId() != id) {
    std::string error;
    if (!view_->Show(*reader_, id, error)) {
      view_->Clear();
      ShowMessage(Text(error), false);
      return;
    }
    shownLiveId_ = -1;
  }
  // The view follows a live session, and reads it once more when it has ended.
  const bool live = selected->live;
  if (live != (shownLiveId_ == id)) {
    view_->SetLive(live);
    shownLiveId_ = live ? id : -1;
  }
}

void SessionsPage::UpdateTimer() {
  const bool live =
      std::any_of(listed_.begin(), listed_.end(), [](const Listed& l) { return l.live; });
  if (recording_ || live) {
    if (!refresh_.isActive()) {
      refresh_.start(kLiveRefreshMs);
    }
  } else {
    refresh_.stop();
  }
}

QString SessionsPage::Describe(const Listed& l) const {
  return QDateTime::fromMSecsSinceEpoch(l.session.startUnixUs / 1000)
      .toLocalTime()
      .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

void SessionsPage::ShowMessage(const QString& text, bool error) {
  messageText_ = text;
  static_cast<ElidedLabel*>(message_)->SetFullText(text);
  message_->show();
  if (error && messageBoxesShown_) {
    auto* box = new QMessageBox(QMessageBox::Warning, QString(), text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setTextFormat(Qt::PlainText);
    box->open();
  }
}

void SessionsPage::RecordClicked() {
  if (recording_) {
    if (onStopRecording) {
      onStopRecording();
    }
    return;
  }
  // The store's folder may not exist yet (the default one, on a first run).
  const QString folder = QFileInfo(storePath_).absolutePath();
  if (!QDir().mkpath(folder)) {
    ShowMessage(Text(FillIn(texts_.Extra("store_folder_failed"),
                            {folder.toStdString(), std::strerror(errno)})),
                true);
    return;
  }
  if (onRecord) {
    onRecord(triggers_);
  }
}

void SessionsPage::ChooseTriggers() {
  if (triggerDialog_) {
    triggerDialog_->raise();
    return;
  }
  triggerDialog_ = new TriggerDialog(texts_, triggers_, this);
  triggerDialog_->setAttribute(Qt::WA_DeleteOnClose);
  connect(triggerDialog_, &QDialog::accepted, this,
          [this] { triggers_ = triggerDialog_->accepted(); });
  connect(triggerDialog_, &QObject::destroyed, this, [this] { triggerDialog_ = nullptr; });
  triggerDialog_->open();
}

void SessionsPage::ChooseStore() {
  const QString caption = storeButton_->text().remove(QChar(0x2026));
  QString path = chooseStoreFile(
      caption, Text(texts_.Extra("store_files")) + QStringLiteral(" (*.db);;* (*)"));
  if (path.isEmpty()) {
    return;
  }
  if (QFileInfo(path).suffix().isEmpty() && !QFileInfo::exists(path)) {
    path += QStringLiteral(".db");
  }
  // An existing file must be a store: another file is refused before it is taken.
  if (QFileInfo::exists(path)) {
    record::RecordStore probe;
    const record::StoreOpenResult opened = probe.OpenForReading(path.toStdString());
    if (opened.error != record::StoreError::kNone) {
      ShowMessage(Text(FillIn(texts_.Extra("store_refused"), {path.toStdString(), opened.message})),
                  true);
      return;
    }
  }
  SetStorePath(path);
}

void SessionsPage::RenameSelected() {
  const Listed* selected = Selected();
  if (!selected) {
    return;
  }
  const int64_t id = selected->session.id;
  auto* dialog = new QInputDialog(this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowTitle(Text(texts_.Extra("rename_session")).remove(QChar(0x2026)));
  dialog->setLabelText(
      Text(FillIn(texts_.Extra("session_title"), {Describe(*selected).toStdString()})));
  dialog->setTextValue(Text(selected->session.title));
  connect(dialog, &QInputDialog::textValueSelected, this, [this, id](const QString& title) {
    std::string error;
    if (!record::RenameSession(storePath_.toStdString(), id, title.trimmed().toStdString(),
                               error)) {
      ShowMessage(Text(FillIn(texts_.Extra("rename_failed"), {error})), true);
    }
    Refresh();
  });
  dialog->open();
}

void SessionsPage::DeleteSelected() {
  const Listed* selected = Selected();
  if (!selected) {
    return;
  }
  const std::string start = Describe(*selected).toStdString();
  if (selected->live) {
    ShowMessage(Text(FillIn(texts_.Extra("delete_live"), {start})), true);
    return;
  }
  const int64_t id = selected->session.id;
  const auto remove = [this, id] {
    if (deleter_.joinable()) {
      return;  // one deletion at a time
    }
    if (view_->sessionId() == id) {
      view_->Clear();
    }
    // A long session takes seconds to delete: the window stays responsive meanwhile, and the
    // page waits for the deletion before it goes.
    deleter_ = std::thread([this, path = storePath_.toStdString(), id] {
      auto error = std::make_shared<std::string>();
      const bool deleted = record::DeleteSession(path, id, *error);
      QMetaObject::invokeMethod(
          this,
          [this, deleted, error] {
            deleter_.join();
            if (!deleted) {
              ShowMessage(Text(FillIn(texts_.Extra("delete_failed"), {*error})), true);
            }
            Refresh();
          },
          Qt::QueuedConnection);
    });
  };
  if (!messageBoxesShown_) {
    remove();
    return;
  }
  auto* box =
      new QMessageBox(QMessageBox::Question, QString(),
                      Text(FillIn(texts_.Extra("delete_confirm"),
                                  {start, std::to_string(selected->session.summary.samples)})),
                      QMessageBox::Yes | QMessageBox::No, this);
  box->setDefaultButton(QMessageBox::No);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setTextFormat(Qt::PlainText);
  connect(box, &QMessageBox::finished, this, [remove](int result) {
    if (result == QMessageBox::Yes) {
      remove();
    }
  });
  box->open();
}

void SessionsPage::Export(Extent extent, record::RowFormat format) {
  const int64_t id = view_->sessionId();
  if (id == 0 || !reader_) {
    return;
  }
  int64_t fromUs = 0;
  int64_t toUs = std::numeric_limits<int64_t>::max();
  if (extent == Extent::kSpan) {
    const SessionPlot& plot = *view_->plot();
    if (plot.cursorA() && plot.cursorB()) {
      fromUs = std::min(*plot.cursorA(), *plot.cursorB());
      toUs = std::max(*plot.cursorA(), *plot.cursorB());
    } else {
      fromUs = plot.fromUs();
      toUs = plot.toUs();
    }
  }
  const bool csv = format == record::RowFormat::kCsv;
  const ExtraKey caption =
      extent == Extent::kSpan
          ? (csv ? ExtraKey("export_span_csv") : ExtraKey("export_span_jsonl"))
          : (csv ? ExtraKey("export_session_csv") : ExtraKey("export_session_jsonl"));
  const QString suffix = csv ? QStringLiteral("csv") : QStringLiteral("jsonl");
  const QString path =
      chooseSaveFile(Text(texts_.Extra(caption)).remove(QChar(0x2026)),
                     Text(texts_.Extra(csv ? ExtraKey("csv_files") : ExtraKey("jsonl_files"))) +
                         " (*." + suffix + ")",
                     suffix);
  if (path.isEmpty()) {
    return;
  }
  SaveTo(path, [&](QSaveFile& file, std::string& error) {
    // The rows go straight to the file being saved, through a stream of their own.
    const int fd = ::dup(file.handle());
    std::FILE* out = fd < 0 ? nullptr : ::fdopen(fd, "w");
    if (!out) {
      if (fd >= 0) {
        ::close(fd);
      }
      error = std::strerror(errno);
      return false;
    }
    bool written = record::WriteRows(*reader_, id, fromUs, toUs, format, out, error);
    if (std::fflush(out) != 0 && written) {
      error = std::strerror(errno);
      written = false;
    }
    if (std::fclose(out) != 0 && written) {
      error = std::strerror(errno);
      written = false;
    }
    return written;
  });
}

void SessionsPage::SaveViewPng() {
  if (view_->sessionId() == 0) {
    return;
  }
  const QString path =
      chooseSaveFile(Text(texts_.Extra("save_view_png")).remove(QChar(0x2026)),
                     Text(texts_.Extra("png_files")) + " (*.png)", QStringLiteral("png"));
  if (path.isEmpty()) {
    return;
  }
  const QImage image = view_->plot()->grab().toImage();
  SaveTo(path, [&image](QSaveFile& file, std::string& error) {
    if (image.save(&file, "PNG")) {
      return true;
    }
    error = file.errorString().toStdString();
    return false;
  });
}

bool SessionsPage::SaveTo(const QString& path,
                          const std::function<bool(QSaveFile&, std::string&)>& write) {
  QSaveFile file(path);
  std::string error;
  bool saved = file.open(QIODevice::WriteOnly);
  if (!saved) {
    error = file.errorString().toStdString();
  } else {
    saved = write(file, error);
    if (!saved) {
      file.cancelWriting();
    }
  }
  if (saved && !file.commit()) {
    saved = false;
    error = file.errorString().toStdString();
  }
  const QString shown = QDir::toNativeSeparators(path);
  if (saved) {
    ShowMessage(Text(texts_[TXT_SAVED]) + ":" + shown, false);
  } else {
    ShowMessage(Text(FillIn(texts_.Extra("file_not_written"), {shown.toStdString(), error})), true);
  }
  return saved;
}

}  // namespace vireo
