#include "app/tab_control.h"

#include <QStyleOptionTabWidgetFrame>
#include <QStylePainter>
#include <QTabBar>

namespace corvandel::app {

namespace {

// A tab bar whose tabs all have the same given height, whatever the style
// would choose, so that the pane begins where the owner placed its pages.
class TFixedHeightTabBar final : public QTabBar {
public:
  TFixedHeightTabBar(QWidget* parent, int height) : QTabBar(parent), height_(height) {}

protected:
  QSize tabSizeHint(int index) const override { return {QTabBar::tabSizeHint(index).width(), height_}; }
  QSize minimumTabSizeHint(int index) const override { return tabSizeHint(index); }

private:
  int height_;
};

}  // namespace

TTabControl::TTabControl(QWidget* parent, int tabHeight)
    : QWidget(parent), tabs_(new TFixedHeightTabBar(this, tabHeight)), tabHeight_(tabHeight) {
  tabs_->setDrawBase(false);
  tabs_->setExpanding(false);
  tabs_->move(0, 0);
  connect(tabs_, &QTabBar::currentChanged, this, &TTabControl::Change);
}

int TTabControl::AddTab(const QString& caption) {
  const int index = tabs_->addTab(caption);
  tabs_->resize(tabs_->sizeHint().width(), tabHeight_);
  return index;
}

int TTabControl::Count() const { return tabs_->count(); }
QString TTabControl::TabText(int index) const { return tabs_->tabText(index); }
QRect TTabControl::TabRect(int index) const { return tabs_->tabRect(index).translated(tabs_->pos()); }
int TTabControl::TabIndex() const { return tabs_->currentIndex(); }
void TTabControl::SetTabIndex(int index) { tabs_->setCurrentIndex(index); }

void TTabControl::paintEvent(QPaintEvent*) {
  QStylePainter painter(this);
  QStyleOptionTabWidgetFrame frame;
  frame.initFrom(this);
  frame.rect = QRect(0, tabHeight_, width(), height() - tabHeight_);
  frame.shape = QTabBar::RoundedNorth;
  frame.lineWidth = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
  frame.tabBarSize = tabs_->size();
  frame.tabBarRect = tabs_->geometry();
  frame.selectedTabRect = TabRect(tabs_->currentIndex());
  painter.drawPrimitive(QStyle::PE_FrameTabWidget, frame);
}

}  // namespace corvandel::app
