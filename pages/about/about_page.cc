#include "pages/about/about_page.h"

#include <QIcon>
#include <QPixmap>
#include <algorithm>

#include "pages/design_font.h"
#include "pages/dialog_units.h"

namespace vireo {
namespace {

constexpr int kPageWidth = 334;
constexpr int kPageHeight = 178;
constexpr int kLogoSize = 128;
constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

QLabel* TextLabel(const QString& text, const QRect& rect, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setGeometry(rect);
  label->setFont(FitFont(DesignFont(QStringLiteral("SimSun"), rect.height()), text, rect.width()));
  label->setText(text);
  return label;
}

}  // namespace

QPixmap ProductLogo(int size) {
  return QPixmap(QStringLiteral(":/vireometer/icons/%1/vireometer.png").arg(size));
}

QIcon ProductIcon() {
  QIcon icon;
  for (int size : kIconSizes)
    icon.addPixmap(ProductLogo(size));
  return icon;
}

AboutPage::AboutPage(QWidget* parent) : QWidget(parent) {
  resize(DialogX(kPageWidth), DialogY(kPageHeight));

  picture_ = new QLabel(this);
  picture_->setGeometry(DialogRect(43, 49, 73, 79));
  picture_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  picture_->setPixmap(ProductLogo(kLogoSize));

  line_ = new QFrame(this);
  line_->setFrameShape(QFrame::VLine);
  line_->setFrameShadow(QFrame::Sunken);
  // An etched line needs two pixels to show both of its edges.
  QRect lineRect = DialogRect(166, 11, 1, 161);
  lineRect.setWidth(std::max(lineRect.width(), 2));
  line_->setGeometry(lineRect);

  series_ = TextLabel(QStringLiteral("ZEV-"), DialogRect(290, 149, 17, 8), this);
  maker_ = TextLabel(QString::fromLatin1(kMakerName), DialogRect(290, 160, 31, 8), this);
  legal_ = TextLabel(QString::fromLatin1(kLegalNotice), DialogRect(201, 83, 93, 8), this);
}

}  // namespace vireo
