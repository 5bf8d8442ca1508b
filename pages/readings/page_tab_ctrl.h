// The tab control of the main window: a strip of tabs over a framed area, and the pages shown
// in that area, one per tab. It owns the pages and keeps the page shown matching the selected
// tab, whether the tab was chosen with the mouse or the keyboard.
#pragma once

#include <QFrame>
#include <QTabBar>
#include <QWidget>
#include <array>

namespace vireo {

class PageTabCtrl : public QWidget {
 public:
  static constexpr int kMaxPages = 5;

  explicit PageTabCtrl(QWidget* parent = nullptr);

  // Adds a tab with its caption; the owner adds them before Init.
  void InsertItem(const QString& caption);
  // Starts over with `count` empty page slots (at most kMaxPages); page 0 is the current one.
  void Init(int count);
  // Puts a page into a slot; the control takes it over.
  void SetPage(int slot, QWidget* page);
  // Places every page over the area under the strip, shows the current page and hides the
  // others. The control does so again whenever it is resized.
  void LayoutPages();
  // The size of the pages, their template's at the window's scale; pages are made smaller,
  // in proportion, only where the area under the strip is smaller. Empty: the whole area.
  void SetPageSize(const QSize& size);
  // A page without a template of its own (the sessions page) takes the whole area under the
  // strip, whatever SetPageSize says.
  void SetPageFillsArea(int slot);

  int currentPage() const { return currentPage_; }
  int pageCount() const { return pageCount_; }
  QWidget* page(int slot) const;
  QTabBar& tabBar() { return *bar_; }
  // Where the pages stand, in this control's coordinates.
  QRect PageRect() const;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void ShowPage(int index);

  QTabBar* bar_;
  QFrame* pane_;
  int pageCount_ = 0;
  int currentPage_ = 0;
  bool focusPageOnChange_ = false;
  QSize pageSize_;
  std::array<QWidget*, kMaxPages> pages_{};
  std::array<bool, kMaxPages> fillsArea_{};
};

}  // namespace vireo
