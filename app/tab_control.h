#pragma once

// A classic tab control: a strip of tabs over a framed pane. The tabs only
// say which one is chosen; the owner shows and hides the pages, which are
// plain children placed below the strip at positions of the owner's choice.

#include <QString>
#include <QWidget>

class QTabBar;

namespace corvandel::app {

class TTabControl : public QWidget {
  Q_OBJECT

public:
  // tabHeight: the strip's height, and so where the pane begins.
  TTabControl(QWidget* parent, int tabHeight);

  int AddTab(const QString& caption);
  int Count() const;
  QString TabText(int index) const;
  // The tab's rectangle in this widget's coordinates.
  QRect TabRect(int index) const;
  int TabIndex() const;
  void SetTabIndex(int index);

signals:
  // The chosen tab changed, by the user or by SetTabIndex.
  void Change(int index);

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  QTabBar* tabs_;
  int tabHeight_;
};

}  // namespace corvandel::app
