#include "shell/ui/about_box.h"

#include <QCoreApplication>
#include <QFile>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include "dictionary/ui/application_errors.h"
#include "dictionary/ui/form_style.h"
#include "shell/about_text.h"

namespace vellum::shell {

namespace {

constexpr int kPictureSize = 64;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;

// The program's picture: a sheet of vellum holding a table's structure, with
// the round arrow of a rebuild (the same drawing as the program's icon).
QPixmap VellumPicture(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 64.0, size / 64.0);
  const QColor brown("#8a6d3b");
  p.setPen(QPen(brown, 2));
  p.setBrush(QColor("#f3e6c4"));
  p.drawRoundedRect(QRectF(8, 4, 44, 54), 4, 4);
  p.setPen(Qt::NoPen);
  p.setBrush(brown);
  p.drawRoundedRect(QRectF(8, 4, 44, 11), 4, 4);
  p.drawRect(QRectF(8, 11, 44, 4));
  p.setPen(QPen(brown, 1.5));
  for (int y : {23, 31, 39}) p.drawLine(QLineF(14, y, 46, y));
  p.drawLine(QLineF(14, 47, 34, 47));
  p.drawLine(QLineF(26, 19, 26, 51));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor("#2f6f9f"));
  p.drawEllipse(QPointF(47, 50), 12, 12);
  QPen arrow(Qt::white, 2.5);
  arrow.setJoinStyle(Qt::RoundJoin);
  p.setPen(arrow);
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(40.5, 43.5, 13, 13), 180 * 16, -300 * 16);
  QPainterPath head;
  head.moveTo(38, 48.5);
  head.lineTo(40.5, 52);
  head.lineTo(43.5, 49);
  p.drawPath(head);
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
  setWindowTitle("About Vellum 2.0");
  setFont(ui::DesignFont("MS Sans Serif", 8));
  createControls();
  FormCreate(program_path, product_version);
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
  Image1->setPixmap(VellumPicture(kPictureSize));
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

  OKButton = new QPushButton("OK");
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
