#include "app/up_down.h"

#include <QEvent>
#include <QLineEdit>
#include <QToolButton>
#include <algorithm>

namespace corvandel::app {

namespace {

QToolButton* MakeButton(QWidget* parent, Qt::ArrowType arrow) {
  auto* button = new QToolButton(parent);
  button->setArrowType(arrow);
  button->setFocusPolicy(Qt::NoFocus);
  button->setAutoRepeat(true);
  return button;
}

}  // namespace

TUpDown::TUpDown(QWidget* parent, QLineEdit& associate)
    : QWidget(parent),
      associate_(associate),
      up_(MakeButton(this, Qt::UpArrow)),
      down_(MakeButton(this, Qt::DownArrow)) {
  setFocusPolicy(Qt::NoFocus);
  connect(up_, &QToolButton::clicked, this, [this] { SetPosition(position_ + 1); });
  connect(down_, &QToolButton::clicked, this, [this] { SetPosition(position_ - 1); });
  SetPosition(position_);
}

void TUpDown::SetMin(int min) {
  min_ = min;
  max_ = std::max(max_, min_);
  SetPosition(position_);
}

void TUpDown::SetMax(int max) {
  max_ = max;
  min_ = std::min(min_, max_);
  SetPosition(position_);
}

void TUpDown::SetPosition(int position) {
  position_ = std::clamp(position, min_, max_);
  associate_.setText(QString::number(position_));
  UpdateButtons();
}

void TUpDown::UpdateButtons() {
  up_->setEnabled(isEnabled() && position_ < max_);
  down_->setEnabled(isEnabled() && position_ > min_);
}

void TUpDown::resizeEvent(QResizeEvent*) {
  const int upper = height() / 2;
  up_->setGeometry(0, 0, width(), upper);
  down_->setGeometry(0, upper, width(), height() - upper);
}

void TUpDown::changeEvent(QEvent* event) {
  if (event->type() == QEvent::EnabledChange) UpdateButtons();
  QWidget::changeEvent(event);
}

}  // namespace corvandel::app
