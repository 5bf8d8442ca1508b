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
constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

QLabel* TextLabel(DialogLayout& layout, const QString& text, int x, int y, int w, int h) {
  auto* label = new QLabel(&layout.window());
  label->setTextFormat(Qt::PlainText);
  label->setText(text);
  layout.Place(label, x, y, w, h);
  // The design's face at the label's height, at the design's base units.
  layout.SetDesignFont(
      label,
      DesignFont(QStringLiteral("SimSun"),
                 DialogUnits(DialogUnits::kDesignBaseX, DialogUnits::kDesignBaseY).Y(h)),
      true);
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

AboutPage::AboutPage(const DialogUnits& units, QWidget* parent)
    : QWidget(parent), layout_(new DialogLayout(*this, units, kPageWidth, kPageHeight)) {
  picture_ = layout_->Place(new QLabel(this), 43, 49, 73, 79);
  picture_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  picture_->setAccessibleName(QString::fromLatin1(kMakerName));

  line_ = layout_->Place(new QFrame(this), 166, 11, 1, 161);
  line_->setFrameShape(QFrame::VLine);
  line_->setFrameShadow(QFrame::Sunken);
  // An etched line needs two pixels to show both of its edges.
  line_->setMinimumWidth(2);

  series_ = TextLabel(*layout_, QStringLiteral("ZEV-"), 290, 149, 17, 8);
  maker_ = TextLabel(*layout_, QString::fromLatin1(kMakerName), 290, 160, 31, 8);
  legal_ = TextLabel(*layout_, QString::fromLatin1(kLegalNotice), 201, 83, 93, 8);
  // The logo drawn anew for its place at every scale, from the largest size built in.
  layout_->SetOnLayout([this](double) { ShowLogo(); });
  ShowLogo();
}

void AboutPage::ShowLogo() {
  const QSize size = picture_->size();
  const int side = std::min(size.width(), size.height());
  if (side <= 0) {
    return;
  }
  const qreal ratio = picture_->devicePixelRatioF();
  const int pixels = static_cast<int>(side * ratio);
  // As large as the picture allows, whole: a size built in, else the largest scaled down.
  QPixmap logo = ProductLogo(pixels);
  if (logo.isNull()) {
    logo = ProductLogo(kIconSizes[std::size(kIconSizes) - 1])
               .scaled(pixels, pixels, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  }
  logo.setDevicePixelRatio(ratio);
  picture_->setPixmap(logo);
}

}  // namespace vireo
