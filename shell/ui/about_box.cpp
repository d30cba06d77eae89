#include "shell/ui/about_box.h"

#include <QCoreApplication>
#include <QFile>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QSvgRenderer>
#include <QVBoxLayout>

#include "dictionary/ui/application_errors.h"
#include "dictionary/ui/form_style.h"
#include "dictionary/ui/window_geometry.h"
#include "shell/about_text.h"

namespace vellum::shell {

namespace {

constexpr int kPictureSize = 64;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;

// The program's picture (its icon, app/vellum.svg) `size` pixels wide as
// laid out, drawn with `ratio` device pixels to each, so that it is sharp on
// a screen of any pixel ratio.
QPixmap VellumPicture(int size, qreal ratio) {
  QPixmap pixmap(QSize(size, size) * ratio);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  QSvgRenderer(QStringLiteral(":/vellum.svg")).render(&painter);
  painter.end();
  pixmap.setDevicePixelRatio(ratio);
  return pixmap;
}

QLabel* Line(const char* name, const QString& text) {
  auto* label = new QLabel(text);
  label->setObjectName(name);
  return label;
}

}  // namespace

TAboutBox::TAboutBox(QWidget* parent)
    : TAboutBox(QCoreApplication::applicationFilePath(), VELLUM_VERSION, parent) {}

TAboutBox::TAboutBox(const QString& program_path, const std::string& product_version,
                     QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName("AboutBox");
  setWindowTitle(tr("About Vellum 2.0"));
  setFont(ui::DesignFont("MS Sans Serif", 8));
  createControls();
  FormCreate(program_path, product_version);
  ui::RememberGeometry(this);
}

void TAboutBox::createControls() {
  Panel1 = new QFrame;
  Panel1->setObjectName("Panel1");
  Panel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
  ProductName = Line("ProductName", "");
  QFont title = ProductName->font();
  title.setBold(true);
  title.setPointSize(title.pointSize() + 4);
  ProductName->setFont(title);
  Version = Line("Version", "");
  Company = Line("Company", "Corvane");
  EMail = Line("EMail", "E-mail: vellum@corvane.example");
  WebAddress = Line("WebAddress", "Web: https://corvane.example/vellum");
  Image1 = new QLabel;
  Image1->setObjectName("Image1");
  Image1->setPixmap(VellumPicture(kPictureSize, devicePixelRatioF()));
  Image1->setAlignment(Qt::AlignTop | Qt::AlignRight);

  auto* lines = new QVBoxLayout;
  lines->setSpacing(4);
  for (QLabel* label : {ProductName, Version, Company, EMail, WebAddress}) lines->addWidget(label);
  lines->insertSpacing(2, 16);
  lines->addStretch();
  auto* frame = new QHBoxLayout(Panel1);
  frame->setContentsMargins(12, 12, 12, 12);
  frame->setSpacing(24);
  frame->addLayout(lines);
  frame->addWidget(Image1);

  OKButton = new QPushButton(tr("OK"));
  OKButton->setObjectName("OKButton");
  OKButton->setDefault(true);
  OKButton->setFixedSize(kButtonWidth, kButtonHeight);
  ui::ExceptionSafeConnect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  layout->addWidget(Panel1);
  layout->addWidget(OKButton, 0, Qt::AlignHCenter);
}

void TAboutBox::FormCreate(const QString& program_path, const std::string& product_version) {
  ProductName->setText(
      QString::fromStdString(ApplicationTitle(QFile::encodeName(program_path).toStdString())));
  Version->setText(QString::fromStdString(VersionLine(product_version)));
}

}  // namespace vellum::shell
