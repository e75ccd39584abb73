#include "app/lower_case_edit.h"

#include <QFocusEvent>
#include <QValidator>
#include <algorithm>

namespace corvandel::app {

namespace {

// Every edit the user makes passes the validator, which may rewrite it.
class TLowerCaseValidator final : public QValidator {
public:
  using QValidator::QValidator;

  State validate(QString& input, int& pos) const override {
    input = input.toLower();
    pos = std::min(pos, static_cast<int>(input.size()));
    return Acceptable;
  }
};

}  // namespace

TLowerCaseEdit::TLowerCaseEdit(QWidget* parent) : QLineEdit(parent) {
  setValidator(new TLowerCaseValidator(this));
}

void TLowerCaseEdit::focusInEvent(QFocusEvent* event) {
  const int cursor = cursorPosition();
  QLineEdit::focusInEvent(event);
  // Qt selects everything when Tab or a shortcut brings the focus.
  const Qt::FocusReason reason = event->reason();
  if (reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason || reason == Qt::ShortcutFocusReason) {
    deselect();
    setCursorPosition(cursor);
  }
}

}  // namespace corvandel::app
