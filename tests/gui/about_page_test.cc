// The About page's controls, BUY with and without a shop address, and the update check as
// the window runs it: nothing asked without an address, never in the way of closing.
#include "pages/about/about_page.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <QTest>

#include "base/posix.h"
#include "gui/main_window.h"
#include "pages/readings/page_tab_ctrl.h"
#include "support/virtual_meter_fixture.h"

namespace vireo {
namespace {

TEST(AboutPage, ControlsAtTheLayoutsRectangles) {
  // Base units of 7 × 13 pixels, as the design's own dialog font has them.
  AboutPage page(DialogUnits(7, 13));
  EXPECT_EQ(page.size(), QSize(584, 289));
  EXPECT_EQ(page.picture().geometry(), QRect(75, 79, 127, 128));
  // The logo whole, as large as the picture allows.
  const QPixmap logo = page.picture().pixmap();
  EXPECT_EQ(logo.size(), QSize(127, 127));
  EXPECT_FALSE(logo.toImage().pixelColor(63, 63) == QColor(0, 0, 0, 0)) << "a drawn logo";

  EXPECT_EQ(page.line().frameShape(), QFrame::VLine);
  EXPECT_EQ(page.line().frameShadow(), QFrame::Sunken);
  EXPECT_EQ(page.line().geometry(), QRect(290, 17, 2, 261));

  struct Label {
    const QLabel& label;
    QString text;
    QRect rect;
  };
  const Label labels[] = {
      {page.series(), "ZEV-", QRect(507, 242, 29, 13)},
      {page.maker(), "VireoMeter", QRect(507, 260, 54, 13)},
      {page.legalNotice(), "Free software, GPL-3.0-or-later", QRect(351, 134, 162, 13)},
  };
  for (const Label& l : labels) {
    EXPECT_EQ(l.label.text(), l.text);
    EXPECT_EQ(l.label.geometry(), l.rect) << l.text.toStdString();
    EXPECT_EQ(l.label.textFormat(), Qt::PlainText);
    EXPECT_LE(QFontMetrics(l.label.font()).horizontalAdvance(l.text), l.rect.width())
        << l.text.toStdString() << " fits";
  }
}

TEST(AboutPage, ProductIconHasTheThemeSizes) {
  const QIcon icon = ProductIcon();
  for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
    EXPECT_TRUE(icon.availableSizes().contains(QSize(size, size))) << size;
}

class WindowWebTest : public testing::VirtualMeterTest {
 protected:
  void TearDown() override {
    window_.reset();
    unsetenv("VIREOMETER_SHOP_URL");
    unsetenv("VIREOMETER_UPDATE_URL");
    VirtualMeterTest::TearDown();
  }

  MainWindow& Open() {
    window_ = std::make_unique<MainWindow>(state_);
    window_->SetMessageBoxesShown(false);
    window_->SetUrlOpener([this](const QUrl& url) {
      opened_.push_back(url);
      return true;
    });
    window_->Initialize();
    window_->show();
    return *window_;
  }

  QString UpgradeField() const { return window_->statusField(StatusField::kUpgrade).text(); }
  QString Default() const { return QString::fromStdString(state_.texts[TXT_UPDATE_DEFAULT]); }

  AppState state_;
  std::unique_ptr<MainWindow> window_;
  std::vector<QUrl> opened_;
};

TEST_F(WindowWebTest, AboutIsTheFourthPage) {
  MainWindow& window = Open();
  EXPECT_NE(dynamic_cast<AboutPage*>(window.tabs().page(3)), nullptr);
}

TEST_F(WindowWebTest, BuyIsGreyedOutWithoutAShopAddress) {
  unsetenv("VIREOMETER_SHOP_URL");
  MainWindow& window = Open();
  EXPECT_FALSE(window.buyButton().isEnabled());
  window.OnBuy();
  EXPECT_TRUE(opened_.empty());
}

TEST_F(WindowWebTest, BuyIsGreyedOutForAnAddressThatIsNotHttp) {
  setenv("VIREOMETER_SHOP_URL", "file:///etc/passwd", 1);
  MainWindow& window = Open();
  EXPECT_FALSE(window.buyButton().isEnabled());
  window.OnBuy();
  EXPECT_TRUE(opened_.empty());
}

TEST_F(WindowWebTest, BuyOpensTheShopAddress) {
  setenv("VIREOMETER_SHOP_URL", "https://shop.example/vireo?from=app", 1);
  MainWindow& window = Open();
  EXPECT_TRUE(window.buyButton().isEnabled());
  QTest::mouseClick(&window.buyButton(), Qt::LeftButton);
  ASSERT_EQ(opened_.size(), 1u);
  EXPECT_EQ(opened_[0], QUrl("https://shop.example/vireo?from=app"));
}

TEST_F(WindowWebTest, WithoutAnUpdateAddressTheFieldShowsTheDefaultAndNothingIsLogged) {
  unsetenv("VIREOMETER_UPDATE_URL");
  MainWindow& window = Open();
  const QString logBefore = window.log().toPlainText();
  EXPECT_TRUE(QTest::qWaitFor([&] { return UpgradeField() == Default(); }, 10000));
  EXPECT_EQ(window.log().toPlainText(), logBefore);
  EXPECT_FALSE(window.log().toPlainText().contains(Default()));
}

TEST_F(WindowWebTest, ClosingEndsACheckTheServerNeverAnswers) {
  // A listener that never accepts: the kernel completes the connection, nobody answers.
  posix::UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener.Get(), 4), 0);
  socklen_t size = sizeof address;
  getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &size);
  setenv("VIREOMETER_UPDATE_URL",
         ("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port))).c_str(), 1);

  MainWindow& window = Open();
  // The window is up while the version file is being asked for.
  pollfd incoming{listener.Get(), POLLIN, 0};
  ASSERT_TRUE(QTest::qWaitFor([&] { return poll(&incoming, 1, 0) == 1; }, 10000));
  EXPECT_TRUE(window.isVisible());
  window.close();
  window_.reset();
  // Closing cancelled the check: the advert was never asked for.
  posix::UniqueFd first(accept(listener.Get(), nullptr, nullptr));
  EXPECT_TRUE(first.IsValid());
  posix::UniqueFd second(accept(listener.Get(), nullptr, nullptr));
  EXPECT_FALSE(second.IsValid()) << "a second request was made";
}

}  // namespace
}  // namespace vireo
