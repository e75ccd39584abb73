#include "app/log_memo.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QTextBlock>
#include <QToolTip>

namespace corvandel::app {

namespace {

// The user state of a block that carries no record.
constexpr int kNoRecord = -1;

}  // namespace

TLogMemo::TLogMemo(QWidget* parent) : QPlainTextEdit(parent) {}

void TLogMemo::AppendLine(const QString& text, int record) {
  appendPlainText(text);
  document()->lastBlock().setUserState(record < 0 ? kNoRecord : record);
}

int TLogMemo::RecordAt(const QPoint& point) const {
  const QTextBlock block = cursorForPosition(point).block();
  if (!block.isValid()) return kNoRecord;
  // The nearest line answers for a point below the last one; it is not under it.
  const QRectF area = blockBoundingGeometry(block).translated(contentOffset());
  if (point.y() < area.top() || point.y() >= area.bottom()) return kNoRecord;
  return block.userState() < 0 ? kNoRecord : block.userState();
}

QPoint TLogMemo::LinePosition(int line) const {
  const QTextBlock block = document()->findBlockByNumber(line);
  if (!block.isValid()) return {};
  return blockBoundingGeometry(block).translated(contentOffset()).topLeft().toPoint();
}

bool TLogMemo::viewportEvent(QEvent* event) {
  if (event->type() == QEvent::ToolTip && OnToolTip) {
    auto* help = static_cast<QHelpEvent*>(event);
    const int record = RecordAt(help->pos());
    if (record == kNoRecord) {
      QToolTip::hideText();
      event->ignore();
    } else {
      // Moving off the line hides the tooltip, so the next line shows its own.
      const QTextBlock block = cursorForPosition(help->pos()).block();
      const QRect line = blockBoundingGeometry(block).translated(contentOffset()).toAlignedRect();
      QToolTip::showText(help->globalPos(), OnToolTip(record), viewport(), line);
    }
    return true;
  }
  return QPlainTextEdit::viewportEvent(event);
}

void TLogMemo::mouseDoubleClickEvent(QMouseEvent* event) {
  const int record = OnOpen ? RecordAt(event->position().toPoint()) : kNoRecord;
  if (record == kNoRecord) {
    QPlainTextEdit::mouseDoubleClickEvent(event);
    return;
  }
  OnOpen(record);
  event->accept();
}

}  // namespace corvandel::app
