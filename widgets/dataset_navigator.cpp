#include "widgets/dataset_navigator.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>

#include "widgets/error_route.h"

namespace vellum::widgets {

using engine::DatasetState;
using Button = DatasetNavigator::Button;

namespace {

constexpr int kGlyph = 16;  // icon side, device-independent pixels

// Draws the glyph of `which` in a kGlyph square: arrows to the ends and
// one step, plus, minus, an edit mark, a check and a cross.
void DrawGlyph(QPainter& p, Button which, const QColor& ink) {
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(ink, 2, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
  p.setBrush(ink);
  auto triangle = [&](bool left, qreal x) {
    QPainterPath path;
    if (left) {
      path.moveTo(x + 5, 3);
      path.lineTo(x, 8);
      path.lineTo(x + 5, 13);
    } else {
      path.moveTo(x, 3);
      path.lineTo(x + 5, 8);
      path.lineTo(x, 13);
    }
    path.closeSubpath();
    p.drawPath(path);
  };
  switch (which) {
    case Button::kFirst:
      p.drawLine(QPointF(4, 3), QPointF(4, 13));
      triangle(true, 7);
      break;
    case Button::kPrior:
      triangle(true, 5);
      break;
    case Button::kNext:
      triangle(false, 6);
      break;
    case Button::kLast:
      triangle(false, 4);
      p.drawLine(QPointF(12, 3), QPointF(12, 13));
      break;
    case Button::kInsert:
      p.drawLine(QPointF(8, 3), QPointF(8, 13));
      [[fallthrough]];
    case Button::kDelete:
      p.drawLine(QPointF(3, 8), QPointF(13, 8));
      break;
    case Button::kEdit: {
      QPainterPath path;
      path.moveTo(3, 12);
      path.lineTo(8, 4);
      path.lineTo(13, 12);
      path.closeSubpath();
      p.setBrush(Qt::NoBrush);
      p.drawPath(path);
      break;
    }
    case Button::kPost:
      p.setBrush(Qt::NoBrush);
      p.drawPolyline(QPolygonF({QPointF(3, 8), QPointF(7, 12), QPointF(13, 4)}));
      break;
    case Button::kCancel:
      p.drawLine(QPointF(4, 4), QPointF(12, 12));
      p.drawLine(QPointF(12, 4), QPointF(4, 12));
      break;
  }
}

QIcon GlyphIcon(Button which, const QWidget& owner) {
  const qreal ratio = owner.devicePixelRatioF();
  QIcon icon;
  for (const auto& [mode, role] : {std::pair{QIcon::Normal, QPalette::ButtonText},
                                   std::pair{QIcon::Disabled, QPalette::PlaceholderText}}) {
    QPixmap pixmap(QSize(kGlyph, kGlyph) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    const QPalette::ColorGroup group =
        mode == QIcon::Disabled ? QPalette::Disabled : QPalette::Active;
    DrawGlyph(painter, which, owner.palette().color(group, role));
    painter.end();
    icon.addPixmap(pixmap, mode);
  }
  return icon;
}

}  // namespace

DatasetNavigator::DatasetNavigator(Questions& questions, QWidget* parent)
    : QWidget(parent), questions_(questions) {
  struct Made {
    Button which;
    const char* name;
    QString text;
  };
  const Made made[kButtons] = {
      {Button::kFirst, "btnFirst", tr("First record")},
      {Button::kPrior, "btnPrior", tr("Prior record")},
      {Button::kNext, "btnNext", tr("Next record")},
      {Button::kLast, "btnLast", tr("Last record")},
      {Button::kInsert, "btnInsert", tr("Insert record")},
      {Button::kDelete, "btnDelete", tr("Delete record")},
      {Button::kEdit, "btnEdit", tr("Edit record")},
      {Button::kPost, "btnPost", tr("Post edit")},
      {Button::kCancel, "btnCancel", tr("Cancel edit")},
  };
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  for (const Made& m : made) {
    auto* b = new QToolButton(this);
    b->setObjectName(QString::fromLatin1(m.name));
    b->setIcon(GlyphIcon(m.which, *this));
    b->setToolTip(m.text);
    b->setAccessibleName(m.text);
    b->setAutoRaise(false);
    b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    layout->addWidget(b);
    connect(b, &QToolButton::clicked, this, [this, which = m.which] { press(which); });
    buttons_[static_cast<size_t>(m.which)] = b;
  }
  updateButtons();
}

void DatasetNavigator::setDataset(engine::Dataset* dataset) {
  subscription_.reset();
  dataset_ = dataset;
  if (dataset_) {
    subscription_ = dataset_->subscribe([this](engine::Dataset&, const engine::DataChange& c) {
      if (c.event == engine::DataEvent::kDestroyed) dataset_ = nullptr;
      updateButtons();
    });
  }
  updateButtons();
}

void DatasetNavigator::updateButtons() {
  const bool active = dataset_ && dataset_->active();
  const DatasetState state = active ? dataset_->state() : DatasetState::kInactive;
  const bool editing = state == DatasetState::kEdit || state == DatasetState::kInsert;
  const bool inserting = state == DatasetState::kInsert;
  const uint32_t rows = active ? dataset_->rowCount() : 0;
  const uint32_t at = active ? dataset_->currentPosition() : 0;
  const bool can_modify = active && dataset_->canModify();
  const bool back = rows > 0 && (inserting || at > 0);
  const bool forward = rows > 0 && (inserting || at + 1 < rows);
  // In the order of Button.
  const std::array<bool, kButtons> enabled = {
      back,
      back,
      forward,
      forward,
      can_modify,
      can_modify && (rows > 0 || inserting),
      can_modify && state == DatasetState::kBrowse && rows > 0,
      editing,
      editing,
  };
  for (size_t i = 0; i < kButtons; ++i) buttons_[i]->setEnabled(enabled[i]);
}

bool DatasetNavigator::postPending() {
  const DatasetState state = dataset_->state();
  if (state != DatasetState::kEdit && state != DatasetState::kInsert) return true;
  dataset_->post();
  return dataset_->state() == DatasetState::kBrowse;
}

void DatasetNavigator::press(Button which) {
  if (!dataset_ || !dataset_->active()) return;
  engine::Dataset& d = *dataset_;
  CallRoutingErrors(this, [&] {
    switch (which) {
      case Button::kFirst:
        if (postPending()) d.first();
        break;
      case Button::kPrior:
        if (postPending()) d.prior();
        break;
      case Button::kNext:
        if (postPending()) d.next();
        break;
      case Button::kLast:
        if (postPending()) d.last();
        break;
      case Button::kInsert:
        if (postPending()) d.insert();
        break;
      case Button::kDelete:
        if (questions_.ask(MessageKind::kConfirmation, tr("Delete record?").toStdString(),
                           Buttons::kOkCancel) == Answer::kOk) {
          d.remove();
        }
        break;
      case Button::kEdit:
        d.edit();
        break;
      case Button::kPost:
        d.post();
        break;
      case Button::kCancel:
        d.cancel();
        break;
    }
  });
  updateButtons();
}

}  // namespace vellum::widgets
