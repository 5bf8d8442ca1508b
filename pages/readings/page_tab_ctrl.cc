#include "pages/readings/page_tab_ctrl.h"

#include <algorithm>
#include <utility>

namespace vireo {
namespace {

// Margins of the page area: 3 pixels in from the left, 10 narrower than the control and, where
// there is room to spare, 15 shorter than the area under the strip.
constexpr int kPageLeft = 3;
constexpr int kPageNarrower = 10;
constexpr int kPageShorter = 15;
// The pane's frame under the pages.
constexpr int kFrame = 2;

}  // namespace

PageTabCtrl::PageTabCtrl(QWidget* parent)
    : QWidget(parent), bar_(new QTabBar(this)), pane_(new QFrame(this)) {
  bar_->setDrawBase(false);
  pane_->setObjectName(QStringLiteral("pagePane"));
  pane_->setFrameShape(QFrame::StyledPanel);
  // A click comes before the change it causes; it hands the keyboard to the page shown.
  connect(bar_, &QTabBar::tabBarClicked, this,
          [this](int index) { focusPageOnChange_ = index != currentPage_; });
  connect(bar_, &QTabBar::currentChanged, this, &PageTabCtrl::ShowPage);
}

void PageTabCtrl::InsertItem(const QString& caption) {
  bar_->addTab(caption);
}

void PageTabCtrl::Init(int count) {
  pageCount_ = std::clamp(count, 0, kMaxPages);
  pages_.fill(nullptr);
  currentPage_ = 0;
}

void PageTabCtrl::SetPage(int slot, QWidget* page) {
  if (slot < 0 || slot >= pageCount_) {
    return;
  }
  page->setParent(this);
  pages_[slot] = page;
}

QWidget* PageTabCtrl::page(int slot) const {
  return slot >= 0 && slot < pageCount_ ? pages_[slot] : nullptr;
}

QRect PageTabCtrl::PageRect() const {
  const int strip = bar_->sizeHint().height();
  const int areaWidth = width() - kPageNarrower;
  const int areaHeight = height() - strip - kFrame;
  if (pageSize_.isEmpty()) {
    return QRect(kPageLeft, strip + 1, areaWidth, areaHeight - (kPageShorter - kFrame));
  }
  // The page's own size, in proportion smaller where it does not fit.
  QSize size = pageSize_;
  if (size.width() > areaWidth || size.height() > areaHeight) {
    size = size.scaled(std::max(areaWidth, 1), std::max(areaHeight, 1), Qt::KeepAspectRatio);
  }
  return QRect(QPoint(kPageLeft, strip + 1), size);
}

void PageTabCtrl::SetPageSize(const QSize& size) {
  pageSize_ = size;
  LayoutPages();
}

void PageTabCtrl::SetPageFillsArea(int slot) {
  if (slot >= 0 && slot < kMaxPages) {
    fillsArea_[slot] = true;
    LayoutPages();
  }
}

void PageTabCtrl::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  LayoutPages();
}

void PageTabCtrl::LayoutPages() {
  const int strip = bar_->sizeHint().height();
  bar_->setGeometry(0, 0, width(), strip);
  pane_->setGeometry(0, strip - 1, width(), height() - strip + 1);
  pane_->lower();
  const QRect area = PageRect();
  for (int i = 0; i < pageCount_; ++i) {
    if (pages_[i] == nullptr) {
      continue;
    }
    pages_[i]->setGeometry(
        fillsArea_[i]
            ? QRect(area.topLeft(), QSize(width() - kPageNarrower, height() - area.top() - kFrame))
            : area);
    pages_[i]->setVisible(i == currentPage_);
  }
  if (pages_[currentPage_] != nullptr) {
    pages_[currentPage_]->raise();
  }
}

void PageTabCtrl::ShowPage(int index) {
  if (index == currentPage_ || index < 0 || index >= pageCount_) {
    return;
  }
  if (pages_[currentPage_] != nullptr) {
    pages_[currentPage_]->hide();
  }
  currentPage_ = index;
  QWidget* shown = pages_[currentPage_];
  if (shown == nullptr) {
    return;
  }
  shown->show();
  // Arrow keys on the strip keep the keyboard there, to go on choosing.
  if (std::exchange(focusPageOnChange_, false)) {
    shown->setFocus();
  }
}

}  // namespace vireo
