#pragma once

// A list of items, each with a check box, like a classic check-list box.
// The owner may cancel its mouse presses and discard its key presses: a
// cancelled press still moves the selection but toggles no check box (nor do
// the release and double click that follow it), and a discarded key does
// nothing at all, so a discarded space toggles nothing.
//
// Items carry their text as the bytes they were given; the list shows them
// as UTF-8.

#include <QChar>
#include <QListWidget>
#include <functional>
#include <string>

namespace corvandel::app {

class TCheckListBox : public QListWidget {
public:
  using TMouseDownEvent = std::function<void(bool& cancel)>;
  using TKeyPressEvent = std::function<void(QChar& key)>;  // set key to QChar() to discard it

  explicit TCheckListBox(QWidget* parent);

  // A free number for the owner's use.
  int Tag() const { return tag_; }
  void SetTag(int tag) { tag_ = tag; }

  void SetItemHeight(int height);
  void SetOnMouseDown(TMouseDownEvent handler) { onMouseDown_ = std::move(handler); }
  void SetOnKeyPress(TKeyPressEvent handler) { onKeyPress_ = std::move(handler); }

  // Appends an unchecked item.
  void AddItem(const std::string& text);
  std::string ItemText(int index) const;
  // A grayed mark counts as unchecked.
  bool Checked(int index) const;
  void SetChecked(int index, bool checked);

  // True while the last mouse press was cancelled.
  bool PressCancelled() const { return pressCancelled_; }

protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

private:
  bool CancelPress();

  int tag_ = 0;
  int itemHeight_ = 0;
  bool pressCancelled_ = false;
  TMouseDownEvent onMouseDown_;
  TKeyPressEvent onKeyPress_;
};

}  // namespace corvandel::app
