#pragma once

// Spin buttons bound to an edit that shows their position, like a classic
// up-down control. Only the buttons change the position: they take no
// keyboard focus, and the arrow keys change nothing. The position stays
// within the limits; it does not wrap round.

#include <QWidget>

class QLineEdit;
class QToolButton;

namespace corvandel::app {

class TUpDown : public QWidget {
public:
  TUpDown(QWidget* parent, QLineEdit& associate);

  int Min() const { return min_; }
  int Max() const { return max_; }
  int Position() const { return position_; }
  void SetMin(int min);
  void SetMax(int max);
  void SetPosition(int position);

  QToolButton* UpButton() const { return up_; }
  QToolButton* DownButton() const { return down_; }

protected:
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

private:
  void UpdateButtons();

  QLineEdit& associate_;
  QToolButton* up_;
  QToolButton* down_;
  int min_ = 0;
  int max_ = 100;
  int position_ = 0;
};

}  // namespace corvandel::app
