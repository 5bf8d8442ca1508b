// The main window as a new user meets it, in English and Chinese, at the desktop's font and at
// one and a half times its size, as it opens and made larger: no control's text needs more
// room than the control has, no two controls overlap, every control has a name for screen
// readers, and the keyboard reaches every control of the page shown.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QTabBar>
#include <QTest>
#include <QTextEdit>
#include <set>

#include "gui/main_window.h"
#include "gui/meter_app.h"
#include "pages/about/about_page.h"
#include "pages/chart/chart_page.h"
#include "pages/readings/page_tab_ctrl.h"
#include "pages/readings/value_field.h"
#include "support/virtual_meter_fixture.h"

namespace vireo {
namespace {

QString Caption(const QAbstractButton& button) {
  QString text = button.text();
  return text.replace(QStringLiteral("&&"), QStringLiteral("&"));
}

// Why the control's text does not fit it, or nothing.
QString TextDoesNotFit(QWidget& w) {
  const QFontMetrics metrics(w.font());
  // Text may not run into the control's border.
  int innerHeight = w.height() - 2;
  QRect room;
  QStringList texts;
  if (auto* button = qobject_cast<QPushButton*>(&w)) {
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    room = w.style()->subElementRect(QStyle::SE_PushButtonContents, &option, &w);
    texts << Caption(*button);
  } else if (auto* box = qobject_cast<QCheckBox*>(&w)) {
    QStyleOptionButton option;
    option.initFrom(box);
    option.text = box->text();
    room = w.style()->subElementRect(QStyle::SE_CheckBoxContents, &option, &w);
    texts << Caption(*box);
  } else if (auto* combo = qobject_cast<QComboBox*>(&w)) {
    QStyleOptionComboBox option;
    option.initFrom(combo);
    room =
        w.style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, &w);
    for (int i = 0; i < combo->count(); ++i)
      texts << combo->itemText(i);
  } else if (auto* label = qobject_cast<QLabel*>(&w)) {
    const QSizeF picture = label->pixmap().deviceIndependentSize();
    if (picture.width() > label->width() || picture.height() > label->height())
      return QStringLiteral("its picture is cut");
    if (label->text().isEmpty())
      return {};
    room = label->contentsRect();
    innerHeight = room.height();
    texts << label->text();
  } else if (qobject_cast<QLineEdit*>(&w)) {
    // A line edit scrolls its text sideways; its line must show whole.
    return metrics.height() > innerHeight ? QStringLiteral("a line does not fit") : QString();
  } else if (auto* bar = qobject_cast<QTabBar*>(&w)) {
    for (int i = 0; i < bar->count(); ++i) {
      const int needed = bar->fontMetrics().horizontalAdvance(bar->tabText(i));
      if (bar->tabRect(i).width() < needed || bar->tabRect(i).right() >= bar->width())
        return QStringLiteral("tab \"%1\" is cut").arg(bar->tabText(i));
    }
    return {};
  } else {
    return {};
  }
  for (const QString& text : texts) {
    const int width = metrics.horizontalAdvance(text);
    if (width > room.width() || metrics.height() > std::min(innerHeight, room.height() + 4))
      return QStringLiteral("\"%1\" needs %2x%3, has %4x%5 (control %6x%7)")
          .arg(text)
          .arg(width)
          .arg(metrics.height())
          .arg(room.width())
          .arg(room.height())
          .arg(w.width())
          .arg(w.height());
  }
  return {};
}

// Frames that hold other controls and lines may lie under them.
bool MayOverlap(const QWidget& w) {
  if (qobject_cast<const QGroupBox*>(&w) || w.objectName() == "pagePane")
    return true;
  const auto* frame = qobject_cast<const QFrame*>(&w);
  return frame && (frame->frameShape() == QFrame::HLine || frame->frameShape() == QFrame::VLine);
}

// The visible controls of a window or page, and the pages of the tab control.
QList<QWidget*> Shown(QWidget& parent) {
  QList<QWidget*> shown;
  for (QWidget* w : parent.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (w->isVisible() && !w->isWindow())
      shown << w;
  }
  return shown;
}

QString Name(const QWidget& w) {
  const QString kind = QString::fromLatin1(w.metaObject()->className());
  QString text;
  if (const auto* label = qobject_cast<const QLabel*>(&w))
    text = label->text();
  else if (const auto* button = qobject_cast<const QAbstractButton*>(&w))
    text = button->text();
  return text.isEmpty() ? kind : kind + " \"" + text + "\"";
}

// What is wrong with the controls shown: texts that do not fit, controls over each other.
QStringList Faults(MainWindow& window) {
  QStringList faults;
  QList<QWidget*> containers{&window, &window.tabs()};
  for (int slot = 0; slot < window.tabs().pageCount(); ++slot) {
    if (window.tabs().page(slot)->isVisible())
      containers << window.tabs().page(slot);
  }
  for (QWidget* container : containers) {
    const QList<QWidget*> shown = Shown(*container);
    for (int i = 0; i < shown.size(); ++i) {
      if (const QString fault = TextDoesNotFit(*shown[i]); !fault.isEmpty())
        faults << Name(*shown[i]) + ": " + fault;
      if (!container->rect().contains(shown[i]->geometry()))
        faults << Name(*shown[i]) + " lies outside its window";
      for (int j = i + 1; j < shown.size(); ++j) {
        if (!MayOverlap(*shown[i]) && !MayOverlap(*shown[j]) &&
            shown[i]->geometry().intersects(shown[j]->geometry()))
          faults << Name(*shown[i]) + " overlaps " + Name(*shown[j]);
      }
    }
  }
  return faults;
}

struct Look {
  const char* language;
  double fontScale;
};

void PrintTo(const Look& look, std::ostream* os) {
  *os << look.language << " at " << look.fontScale << " times the desktop's font";
}

class WindowLayoutTest : public testing::VirtualMeterTest,
                         public ::testing::WithParamInterface<Look> {
 protected:
  void SetUp() override {
    VirtualMeterTest::SetUp();
    font_ = QApplication::font();
    const std::filesystem::path work = folder_ / "work";
    std::filesystem::create_directories(work / "config" / "vireometer");
    setenv("XDG_CONFIG_HOME", (work / "config").c_str(), 1);
    oldFolder_ = QDir::currentPath();
    // The program reads lang.ini from the folder it starts in.
    QFile::copy(QStringLiteral(VIREO_LANG_DIR "/%1/lang.ini").arg(GetParam().language),
                QString::fromStdString((work / "lang.ini").string()));
    QDir::setCurrent(QString::fromStdString(work.string()));
    QFont font = font_;
    font.setPointSizeF(font.pointSizeF() * GetParam().fontScale);
    QApplication::setFont(font);
    qApp->setStyleSheet(MeterApp::ReadSkin());
    PlugMeter([] {
      sim::EmulatorOptions options;
      options.serial = "ABCDEF";
      options.versionByte = 0x15;
      return options;
    }());
  }
  void TearDown() override {
    window_.reset();
    qApp->setStyleSheet(QString());
    QApplication::setFont(font_);
    QDir::setCurrent(oldFolder_);
    unsetenv("XDG_CONFIG_HOME");
    VirtualMeterTest::TearDown();
  }

  MainWindow& Open() {
    window_ = std::make_unique<MainWindow>(state_);
    window_->SetMessageBoxesShown(false);
    window_->Initialize();
    window_->show();
    // The longest text the update check shows.
    const auto text = [this](TextId id) { return state_.texts[id]; };
    window_->statusField(StatusField::kUpgrade)
        .setText(QString::fromStdString(text(TXT_UPDATE_LABEL) + ":" + text(TXT_LATEST_LABEL) +
                                        "1.6 " + text(TXT_VERSION_LABEL) + "1.2"));
    return *window_;
  }

  QFont font_;
  QString oldFolder_;
  AppState state_;
  std::unique_ptr<MainWindow> window_;
};

bool HasChineseFont() {
  return !QFontDatabase::families(QFontDatabase::SimplifiedChinese).isEmpty();
}

TEST_P(WindowLayoutTest, EveryPageShowsItsTextsWholeAndNoControlOverAnother) {
  if (std::string(GetParam().language) != "en" && !HasChineseFont())
    GTEST_SKIP() << "no font with Chinese glyphs is installed (fonts-wqy-zenhei, fonts-noto-cjk)";
  MainWindow& window = Open();
  const QSize opened = window.size();
  EXPECT_EQ(opened, window.dialogUnits().Size(461, 270));
  EXPECT_DOUBLE_EQ(window.layoutScale(), 1.0);
  // Never smaller than the template.
  window.resize(opened / 2);
  EXPECT_EQ(window.size(), opened);
  // As it opens, and made larger, wider than the template's proportions.
  for (const QSize size : {opened, QSize(opened.width() * 17 / 10, opened.height() * 3 / 2)}) {
    window.resize(size);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.size() == size; }));
    for (int tab = 0; tab < window.tabs().pageCount(); ++tab) {
      window.tabs().tabBar().setCurrentIndex(tab);
      const QStringList faults = Faults(window);
      EXPECT_TRUE(faults.isEmpty())
          << "tab " << tab << " at " << size.width() << "x" << size.height() << ":\n"
          << faults.join('\n').toStdString();
    }
    // The chart page's Records mode shows its other controls.
    ChartPage& chart = window.chartPage();
    window.tabs().tabBar().setCurrentIndex(1);
    chart.modeCombo().setCurrentIndex(ChartPage::kRecords);
    chart.SelectMode();
    const QStringList faults = Faults(window);
    EXPECT_TRUE(faults.isEmpty()) << "Records mode at " << size.width() << ":\n"
                                  << faults.join('\n').toStdString();
    chart.modeCombo().setCurrentIndex(ChartPage::kLive);
    chart.SelectMode();
  }
  EXPECT_GT(window.layoutScale(), 1.4);
  // The controls' texts grew with the window.
  const double grown = QApplication::font().pointSizeF() * window.layoutScale();
  for (QWidget* control : std::initializer_list<QWidget*>{
           &window.startButton(), &window.tabs().tabBar(), &window.log(),
           &window.statusField(StatusField::kUsb), &window.chartPage().modeCombo()})
    EXPECT_NEAR(control->font().pointSizeF(), grown, 0.01) << Name(*control).toStdString();
}

INSTANTIATE_TEST_SUITE_P(Looks, WindowLayoutTest,
                         ::testing::Values(Look{"en", 1.0}, Look{"en", 1.5}, Look{"zh_CN", 1.0},
                                           Look{"zh_CN", 1.5}),
                         [](const ::testing::TestParamInfo<Look>& look) {
                           return std::string(look.param.language[0] == 'e' ? "English"
                                                                            : "Chinese") +
                                  (look.param.fontScale > 1 ? "LargeFont" : "DesktopFont");
                         });

// Every control named as a screen reader hears it, found by name in the window's
// accessibility tree, as AT-SPI tools walk it; and Tab reaches every control of the page.
class WindowAccessibilityTest : public WindowLayoutTest {};

// Each node by its role and name, and by its name alone (as NoRole). A combo box's name is its
// text; it is found by its description.
void Collect(QAccessibleInterface* node, std::set<std::pair<QAccessible::Role, QString>>& seen) {
  if (!node)
    return;
  seen.emplace(node->role(), node->text(QAccessible::Name));
  seen.emplace(QAccessible::NoRole, node->text(QAccessible::Name));
  if (node->role() == QAccessible::ComboBox)
    seen.emplace(node->role(), node->text(QAccessible::Description));
  for (int i = 0; i < node->childCount(); ++i)
    Collect(node->child(i), seen);
}

TEST_P(WindowAccessibilityTest, ControlsHaveNamesAndTheKeyboardReachesThem) {
  MainWindow& window = Open();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  const auto text = [this](TextId id) { return QString::fromStdString(state_.texts[id]); };
  const auto extra = [this](ExtraKey key) {
    return QString::fromStdString(state_.texts.Extra(key));
  };
  using R = QAccessible::Role;
  using Named = std::pair<R, QString>;
  const std::vector<std::vector<Named>> expected = {
      {Named{R::StaticText, text(TXT_VOLTAGE) + ":"}, Named{R::CheckBox, text(TXT_FAHRENHEIT)}},
      {Named{R::ComboBox, extra("chart_mode_name")}, Named{R::ComboBox, extra("sample_rate_name")},
       Named{R::NoRole, text(TXT_TAB_CHART)}},
      {Named{R::PushButton, text(TXT_OPEN)}, Named{R::PushButton, text(TXT_UPGRADE_START)},
       Named{R::EditableText, extra("firmware_file_name")}},
      {Named{R::Graphic, QString::fromLatin1(AboutPage::kMakerName)}},
      {Named{R::PushButton, extra("record")}, Named{R::PushButton, extra("triggers")},
       Named{R::PushButton, extra("choose_store")}, Named{R::NoRole, extra("session_list_name")},
       Named{R::NoRole, extra("session_view_name")}},
  };
  for (int tab = 0; tab < window.tabs().pageCount(); ++tab) {
    window.tabs().tabBar().setCurrentIndex(tab);
    std::set<std::pair<R, QString>> seen;
    Collect(QAccessible::queryAccessibleInterface(&window), seen);
    const Named everywhere[] = {
        {R::PushButton, text(TXT_START)},        {R::PushButton, text(TXT_STOP)},
        {R::PageTab, text(TXT_TAB_READINGS)},    {R::PageTab, text(TXT_TAB_CHART)},
        {R::PageTab, text(TXT_TAB_FIRMWARE)},    {R::PageTab, text(TXT_TAB_ABOUT)},
        {R::PageTab, extra("sessions_tab")},     {R::EditableText, extra("log_name")},
        {R::ProgressBar, extra("progress_name")}};
    for (const auto& [role, name] : everywhere)
      EXPECT_TRUE(seen.contains({role, name})) << name.toStdString() << " on tab " << tab;
    for (const auto& [role, name] : expected[tab]) {
      EXPECT_TRUE(seen.contains({role, name})) << name.toStdString() << " on tab " << tab;
    }

    // Every control shown has a name; Tab from the tabs reaches each that takes the keyboard.
    std::set<QWidget*> reachable;
    window.tabs().tabBar().setFocus();
    for (int press = 0; press < 40; ++press) {
      ASSERT_NE(QApplication::focusWidget(), nullptr);
      reachable.insert(QApplication::focusWidget());
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    for (QWidget* w : window.findChildren<QWidget*>()) {
      if (!w->isVisible() || MayOverlap(*w) || w->parentWidget() == nullptr ||
          !(qobject_cast<QAbstractButton*>(w) || qobject_cast<QComboBox*>(w) ||
            qobject_cast<QLineEdit*>(w) || qobject_cast<QTextEdit*>(w) ||
            qobject_cast<QProgressBar*>(w) || qobject_cast<QTabBar*>(w) ||
            qobject_cast<QLabel*>(w) || dynamic_cast<ValueField*>(w) ||
            dynamic_cast<ChartView*>(w)))
        continue;
      // Inner parts of other controls (a combo box's edit, say) are not controls.
      if (qobject_cast<QComboBox*>(w->parentWidget()) || w->parentWidget()->inherits("QTabBar"))
        continue;
      const auto* label = qobject_cast<QLabel*>(w);
      if (!(label && label->text().isEmpty() && label->pixmap().isNull() &&
            label->accessibleName().isEmpty())) {
        QAccessibleInterface* node = QAccessible::queryAccessibleInterface(w);
        EXPECT_FALSE(node->text(QAccessible::Name).isEmpty()) << Name(*w).toStdString();
      }
      // What the user acts on takes the keyboard; the chart does for its context menu.
      if (qobject_cast<QAbstractButton*>(w) || qobject_cast<QComboBox*>(w) ||
          qobject_cast<QLineEdit*>(w) || qobject_cast<QTextEdit*>(w) || qobject_cast<QTabBar*>(w) ||
          dynamic_cast<ChartView*>(w)) {
        EXPECT_TRUE(w->focusPolicy() & Qt::TabFocus) << Name(*w).toStdString();
      }
      if ((w->focusPolicy() & Qt::TabFocus) && w->isEnabled()) {
        EXPECT_TRUE(reachable.contains(w)) << Name(*w).toStdString() << " on tab " << tab;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(English, WindowAccessibilityTest, ::testing::Values(Look{"en", 1.0}));

}  // namespace
}  // namespace vireo
