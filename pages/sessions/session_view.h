// SessionView: one stored session in a chart (SessionPlot) over the statistics of the span
// between its two cursors, as `vireometer-cli stats --from --to` gives them, and how long a
// battery of a given capacity would last at the span's mean current. A session that is being
// recorded is read again every second, when the view is told it is live.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "pages/sessions/session_plot.h"
#include "record/record_store.h"
#include "record/session_span.h"
#include "text/text_table.h"

namespace vireo {

class SessionView : public QWidget {
 public:
  static constexpr int kLiveRefreshMs = 1000;

  explicit SessionView(const TextTable& texts, QWidget* parent = nullptr);
  ~SessionView() override;

  // Opens the store read-only and shows one of its sessions; false, with the reason, when the
  // store cannot be opened or holds no such session.
  bool Open(const std::string& path, int64_t sessionId, std::string& error);
  // Shows a session of a store opened elsewhere, which outlives the view or the next Show.
  bool Show(const record::RecordStore& store, int64_t sessionId, std::string& error);
  // While live, the session is read again every second and the view follows its end.
  void SetLive(bool live);
  // Shows no session and forgets the store, which may be closed after this.
  void Clear();
  // The session shown, 0 for none.
  int64_t sessionId() const { return store_ ? sessionId_ : 0; }
  void SetQuantityShown(size_t quantity, bool shown);
  void SetCapacityMah(double mah);

  SessionPlot* plot() const { return plot_; }
  const std::optional<record::SpanStats>& spanStats() const { return span_; }
  QString statsText() const { return stats_->text(); }

 private:
  bool ReadExtent(std::string& error);
  void UpdateStats();

  const TextTable& texts_;
  std::unique_ptr<record::RecordStore> owned_;
  const record::RecordStore* store_ = nullptr;
  int64_t sessionId_ = 0;
  SessionPlot* plot_;
  QLabel* stats_;
  QLineEdit* capacity_;
  QTimer live_;
  double capacityMah_ = 0;
  std::optional<record::SpanStats> span_;
};

}  // namespace vireo
