#include "app/check_list_box.h"

#include <QByteArray>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyledItemDelegate>

namespace corvandel::app {

namespace {

// The raw bytes of an item, kept beside its shown text so that bytes that
// are not valid UTF-8 survive a load and a save unchanged.
constexpr int kBytesRole = Qt::UserRole + 1;

// Check boxes are toggled by the delegate; it refuses while the list's last
// press was cancelled, and keeps the items at the list's item height.
class TCheckDelegate final : public QStyledItemDelegate {
public:
  TCheckDelegate(TCheckListBox& list, const int& itemHeight)
      : QStyledItemDelegate(&list), list_(list), itemHeight_(itemHeight) {}

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    if (itemHeight_ > 0) size.setHeight(itemHeight_);
    return size;
  }

  bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override {
    const QEvent::Type type = event->type();
    const bool mouse = type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease ||
                       type == QEvent::MouseButtonDblClick;
    if (mouse && list_.PressCancelled()) return false;
    return QStyledItemDelegate::editorEvent(event, model, option, index);
  }

private:
  TCheckListBox& list_;
  const int& itemHeight_;
};

}  // namespace

TCheckListBox::TCheckListBox(QWidget* parent) : QListWidget(parent) {
  setItemDelegate(new TCheckDelegate(*this, itemHeight_));
  setSelectionMode(QAbstractItemView::SingleSelection);
  setUniformItemSizes(true);
}

void TCheckListBox::SetItemHeight(int height) {
  itemHeight_ = height;
  doItemsLayout();
}

void TCheckListBox::AddItem(const std::string& text) {
  const QByteArray bytes(text.data(), static_cast<qsizetype>(text.size()));
  auto* item = new QListWidgetItem(QString::fromUtf8(bytes), this);
  item->setData(kBytesRole, bytes);
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
  item->setCheckState(Qt::Unchecked);
}

std::string TCheckListBox::ItemText(int index) const {
  const QByteArray bytes = item(index)->data(kBytesRole).toByteArray();
  return {bytes.constData(), static_cast<std::size_t>(bytes.size())};
}

bool TCheckListBox::Checked(int index) const { return item(index)->checkState() == Qt::Checked; }

void TCheckListBox::SetChecked(int index, bool checked) {
  item(index)->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
}

bool TCheckListBox::CancelPress() {
  bool cancel = false;
  if (onMouseDown_) onMouseDown_(cancel);
  pressCancelled_ = cancel;
  return cancel;
}

void TCheckListBox::mousePressEvent(QMouseEvent* event) {
  CancelPress();
  QListWidget::mousePressEvent(event);
}

void TCheckListBox::mouseDoubleClickEvent(QMouseEvent* event) {
  // The second press of a double click is a press too.
  CancelPress();
  QListWidget::mouseDoubleClickEvent(event);
}

void TCheckListBox::keyPressEvent(QKeyEvent* event) {
  if (onKeyPress_) {
    // Select toggles like the space bar, without a character of its own.
    QChar key = event->key() == Qt::Key_Select ? QChar(u' ')
                : event->text().isEmpty()       ? QChar()
                                                : event->text().front();
    if (!key.isNull()) {
      onKeyPress_(key);
      if (key.isNull()) {
        event->accept();
        return;
      }
    }
  }
  QListWidget::keyPressEvent(event);
}

}  // namespace corvandel::app
