#pragma once

// The log: a read-only multi-line edit with one line per finished call. A
// line may carry the row of its call's record; hovering such a line shows
// the tooltip its owner gives for that row, and a double click on it opens
// what the owner shows for it.

#include <QPlainTextEdit>
#include <functional>

namespace corvandel::app {

class TLogMemo final : public QPlainTextEdit {
public:
  explicit TLogMemo(QWidget* parent = nullptr);

  // Appends text as one line, with record the row of its call (-1 for
  // none). text must hold no line or paragraph break.
  void AppendLine(const QString& text, int record);
  // The record of the line under a point of the viewport; -1 when the
  // point is below the last line or the line carries none.
  int RecordAt(const QPoint& point) const;
  // The top-left point of the line with the given number, in the viewport.
  QPoint LinePosition(int line) const;

  std::function<QString(int record)> OnToolTip;
  std::function<void(int record)> OnOpen;

protected:
  bool viewportEvent(QEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
};

}  // namespace corvandel::app
