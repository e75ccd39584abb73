#pragma once

// A single-line edit that turns everything typed or pasted into lower case,
// and that keeps the caret where it is when it gains focus, instead of
// selecting all of its text.

#include <QLineEdit>

namespace corvandel::app {

class TLowerCaseEdit : public QLineEdit {
public:
  explicit TLowerCaseEdit(QWidget* parent);

protected:
  void focusInEvent(QFocusEvent* event) override;
};

}  // namespace corvandel::app
