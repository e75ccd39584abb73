#include "app/call_details.h"

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>
#include <functional>
#include <string_view>

#include "app/call_records.h"
#include "app/window_texts.h"

namespace corvandel::app {

// Leaves out the calls that succeeded while errors only are asked for.
class TErrorsOnlyFilter final : public QSortFilterProxyModel {
public:
  using QSortFilterProxyModel::QSortFilterProxyModel;

  void SetErrorsOnly(bool errorsOnly) {
    if (errorsOnly == errorsOnly_) return;
    errorsOnly_ = errorsOnly;
    invalidateRowsFilter();
  }

protected:
  bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override {
    return !errorsOnly_ ||
           !sourceModel()->index(sourceRow, 0, sourceParent).data(TCallRecords::kSuccessRole).toBool();
  }

private:
  bool errorsOnly_ = true;
};

namespace {

constexpr int kDialogWidth = 920;
constexpr int kDialogHeight = 360;
// Starting widths of the columns; the reason takes what is left.
constexpr int kColumnWidths[TCallRecords::ReasonColumn] = {180, 150, 50, 55, 45, 140};

QString Q(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// A table view copies only its current cell on Ctrl+C; this one leaves the
// copy to its dialog.
class TCallTable final : public QTableView {
public:
  using QTableView::QTableView;
  std::function<void()> OnCopy;

protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (event->matches(QKeySequence::Copy) && OnCopy) {
      OnCopy();
      event->accept();
      return;
    }
    QTableView::keyPressEvent(event);
  }
};

}  // namespace

TCallDetails::TCallDetails(TCallRecords& records, QWidget* parent) : QDialog(parent), records_(records) {
  setObjectName(QStringLiteral("dlgCallDetails"));
  setWindowTitle(Q(kCallDetailsTitle));
  setModal(false);
  resize(kDialogWidth, kDialogHeight);

  shown_ = new TErrorsOnlyFilter(this);
  shown_->setSourceModel(&records_);

  cbErrorsOnly_ = new QCheckBox(Q(kErrorsOnlyCaption), this);
  cbErrorsOnly_->setObjectName(QStringLiteral("cbErrorsOnly"));
  cbErrorsOnly_->setChecked(true);
  lblShown_ = new QLabel(this);
  lblShown_->setObjectName(QStringLiteral("lblShownCalls"));

  auto* table = new TCallTable(this);
  table->setObjectName(QStringLiteral("tvCalls"));
  table->OnCopy = [this] { Copy(); };
  tvCalls_ = table;
  tvCalls_->setModel(shown_);
  tvCalls_->setSelectionBehavior(QAbstractItemView::SelectRows);
  tvCalls_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  tvCalls_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tvCalls_->setWordWrap(false);
  tvCalls_->setAlternatingRowColors(true);
  tvCalls_->verticalHeader()->hide();
  tvCalls_->verticalHeader()->setDefaultSectionSize(tvCalls_->fontMetrics().height() + 6);
  tvCalls_->horizontalHeader()->setHighlightSections(false);
  tvCalls_->horizontalHeader()->setStretchLastSection(true);
  for (int column = 0; column < TCallRecords::ReasonColumn; ++column)
    tvCalls_->setColumnWidth(column, kColumnWidths[column]);

  btnCopy_ = new QPushButton(Q(kCopyCaption), this);
  btnCopy_->setObjectName(QStringLiteral("btnCopy"));
  btnCopy_->setToolTip(Q(kCopyHint));
  btnCopy_->setAutoDefault(false);
  btnClose_ = new QPushButton(Q(kCloseCaption), this);
  btnClose_->setObjectName(QStringLiteral("btnClose"));
  btnClose_->setAutoDefault(false);

  auto* top = new QHBoxLayout;
  top->addWidget(cbErrorsOnly_);
  top->addStretch();
  top->addWidget(lblShown_);
  auto* bottom = new QHBoxLayout;
  bottom->addStretch();
  bottom->addWidget(btnCopy_);
  bottom->addWidget(btnClose_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(tvCalls_);
  layout->addLayout(bottom);

  // Ctrl+C wherever the focus is in the dialog.
  auto* copyKey = new QShortcut(QKeySequence::Copy, this);
  connect(copyKey, &QShortcut::activated, this, [this] { Copy(); });
  connect(btnCopy_, &QPushButton::clicked, this, [this] { Copy(); });
  connect(btnClose_, &QPushButton::clicked, this, &QDialog::close);
  connect(cbErrorsOnly_, &QCheckBox::toggled, this, [this](bool on) { shown_->SetErrorsOnly(on); });

  // New calls scroll into view unless the user has scrolled away from the end.
  connect(shown_, &QAbstractItemModel::rowsAboutToBeInserted, this, [this] {
    const QScrollBar* bar = tvCalls_->verticalScrollBar();
    followEnd_ = bar->value() == bar->maximum();
  });
  connect(shown_, &QAbstractItemModel::rowsInserted, this, [this] {
    if (followEnd_) tvCalls_->scrollToBottom();
    ShowCount();
  });
  connect(shown_, &QAbstractItemModel::rowsRemoved, this, [this] { ShowCount(); });
  connect(shown_, &QAbstractItemModel::modelReset, this, [this] { ShowCount(); });
  connect(shown_, &QAbstractItemModel::layoutChanged, this, [this] { ShowCount(); });
  // The source's own reset when the proxy shows nothing: the total changes.
  connect(&records_, &QAbstractItemModel::modelReset, this, [this] { ShowCount(); });
  connect(&records_, &QAbstractItemModel::rowsInserted, this, [this] { ShowCount(); });
  ShowCount();
}

void TCallDetails::ShowCall(int row) {
  show();
  raise();
  activateWindow();
  if (row < 0 || row >= records_.Size()) return;
  QModelIndex shown = shown_->mapFromSource(records_.index(row, 0));
  if (!shown.isValid()) {
    cbErrorsOnly_->setChecked(false);
    shown = shown_->mapFromSource(records_.index(row, 0));
  }
  if (!shown.isValid()) return;
  tvCalls_->selectRow(shown.row());
  tvCalls_->scrollTo(shown, QAbstractItemView::PositionAtCenter);
  tvCalls_->setFocus();
}

QString TCallDetails::SelectedText() const {
  std::vector<int> rows;
  for (const QModelIndex& index : tvCalls_->selectionModel()->selectedRows())
    rows.push_back(shown_->mapToSource(index).row());
  if (rows.empty()) {
    for (int row = 0; row < shown_->rowCount(); ++row) rows.push_back(shown_->mapToSource(shown_->index(row, 0)).row());
  }
  std::sort(rows.begin(), rows.end());
  QString text;
  for (const int row : rows) text += records_.CopyText(row) + u'\n';
  return text;
}

void TCallDetails::Copy() {
  const QString text = SelectedText();
  if (!text.isEmpty()) QGuiApplication::clipboard()->setText(text);
}

void TCallDetails::ShowCount() {
  lblShown_->setText(Q(kShownCallsFormat).arg(shown_->rowCount()).arg(records_.Size()));
  btnCopy_->setEnabled(shown_->rowCount() > 0);
}

}  // namespace corvandel::app
