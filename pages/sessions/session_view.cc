#include "pages/sessions/session_view.h"

#include <QDoubleValidator>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <limits>

namespace vireo {
namespace {

QString Text(const std::string& text) {
  return QString::fromStdString(text);
}

std::string Fixed(double value, int decimals) {
  return QString::number(value, 'f', decimals).toStdString();
}

// Hours as h:mm:ss.
std::string Clock(double hours) {
  const auto seconds = static_cast<long long>(std::llround(hours * 3600));
  return QString::asprintf("%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60, seconds % 60)
      .toStdString();
}

}  // namespace

SessionView::SessionView(const TextTable& texts, QWidget* parent)
    : QWidget(parent),
      texts_(texts),
      plot_(new SessionPlot(texts, this)),
      stats_(new QLabel(this)),
      capacity_(new QLineEdit(this)) {
  stats_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  stats_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  stats_->setObjectName("stats");
  capacity_->setValidator(new QDoubleValidator(0, 1e9, 3, capacity_));
  capacity_->setMaximumWidth(120);
  auto* capacityLabel = new QLabel(Text(texts.Extra("battery_capacity")), this);
  capacityLabel->setBuddy(capacity_);

  auto* battery = new QHBoxLayout;
  battery->addWidget(capacityLabel);
  battery->addWidget(capacity_);
  battery->addStretch();
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(plot_, 1);
  layout->addWidget(stats_);
  layout->addLayout(battery);

  plot_->onCursorsChanged = [this] { UpdateStats(); };
  connect(capacity_, &QLineEdit::textEdited, this, [this](const QString& text) {
    capacityMah_ = capacity_->locale().toDouble(text);
    UpdateStats();
  });
  connect(&live_, &QTimer::timeout, this, [this] {
    std::string error;
    ReadExtent(error);
  });
  UpdateStats();
}

SessionView::~SessionView() = default;

bool SessionView::Open(const std::string& path, int64_t sessionId, std::string& error) {
  auto store = std::make_unique<record::RecordStore>();
  const record::StoreOpenResult opened = store->OpenForReading(path);
  if (opened.error != record::StoreError::kNone) {
    error = opened.message;
    return false;
  }
  if (!Show(*store, sessionId, error)) {
    return false;
  }
  owned_ = std::move(store);
  return true;
}

bool SessionView::Show(const record::RecordStore& store, int64_t sessionId, std::string& error) {
  const std::vector<record::StoredSession> sessions = store.Sessions(error);
  const auto found = std::find_if(sessions.begin(), sessions.end(),
                                  [&](const auto& s) { return s.id == sessionId; });
  if (found == sessions.end()) {
    if (error.empty()) {
      error = std::string("no session ").append(std::to_string(sessionId));
    }
    return false;
  }
  store_ = &store;
  sessionId_ = sessionId;
  plot_->SetSession(store_, sessionId_, found->startUnixUs, 0, 0);
  if (!ReadExtent(error)) {
    return false;
  }
  plot_->Fit();
  UpdateStats();
  return true;
}

bool SessionView::ReadExtent(std::string& error) {
  if (!store_) {
    return false;
  }
  // The whole session's statistics give its end (last sample or gap) and its sample count.
  record::SpanStats whole;
  if (!record::SpanStatistics(*store_, sessionId_, 0, std::numeric_limits<int64_t>::max(), whole,
                              error)) {
    return false;
  }
  plot_->SetEnd(whole.toUs, whole.samples);
  return true;
}

void SessionView::SetLive(bool live) {
  if (live) {
    live_.start(kLiveRefreshMs);
  } else if (live_.isActive()) {
    live_.stop();
    // The session has ended: its last samples are read once more.
    std::string error;
    ReadExtent(error);
  }
}

void SessionView::Clear() {
  live_.stop();
  store_ = nullptr;
  sessionId_ = 0;
  plot_->SetSession(nullptr, 0, 0, 0, 0);
  owned_.reset();
  UpdateStats();
}

void SessionView::SetQuantityShown(size_t quantity, bool shown) {
  if (quantity >= record::kQuantityCount) {
    return;
  }
  const unsigned bit = 1u << quantity;
  plot_->SetShown(shown ? plot_->shown() | bit : plot_->shown() & ~bit);
}

void SessionView::SetCapacityMah(double mah) {
  capacityMah_ = mah;
  capacity_->setText(mah > 0 ? QString::number(mah) : QString());
  UpdateStats();
}

void SessionView::UpdateStats() {
  span_.reset();
  const auto& a = plot_->cursorA();
  const auto& b = plot_->cursorB();
  if (!store_ || !a || !b) {
    stats_->setText(Text(texts_.Extra("span_hint")));
    return;
  }
  record::SpanStats st;
  std::string error;
  if (!record::SpanStatistics(*store_, sessionId_, std::min(*a, *b), std::max(*a, *b), st, error)) {
    stats_->setText(Text(error));
    return;
  }
  span_ = st;
  std::string text =
      FillIn(texts_.Extra("span_time"), {Fixed(st.spanSeconds, 6), Fixed(st.coveredSeconds, 6),
                                         Fixed(100 * st.coverage, 2), std::to_string(st.samples)});
  constexpr std::array<const char*, 3> kUnits = {"V", "A", "W"};
  for (size_t q = 0; q < kUnits.size(); ++q) {
    const record::QuantityStats& qs = st.quantities[q];
    text.append("\n").append(kUnits[q]).append("  ");
    text.append(FillIn(texts_.Extra("span_quantity"),
                       {Fixed(qs.min, 6), Fixed(qs.max, 6), Fixed(qs.Mean(), 6)}));
  }
  text.append("\n").append(
      FillIn(texts_.Extra("span_energy"), {Fixed(st.energyWh, 6), Fixed(st.chargeMah, 4)}));
  // A battery lasts its capacity over the mean current drawn from it.
  const double meanMa = st.quantities[record::kCurrentIndex].Mean() * 1000;
  if (capacityMah_ > 0 && meanMa > 0) {
    text.append("\n").append(
        FillIn(texts_.Extra("span_battery"), {QString::number(capacityMah_).toStdString(),
                                              Clock(capacityMah_ / meanMa), Fixed(meanMa, 3)}));
  }
  stats_->setText(Text(text));
}

}  // namespace vireo
