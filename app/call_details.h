#pragma once

// "Call details": a window beside the main one that lists every call of the
// run in a table (service, site, worker, result, code, answer, reason), by
// default only the failed ones. It follows new results while it is open and
// empties when a new run clears the log. "Copy" (or Ctrl+C) puts the
// selected calls, or all that are shown, on the clipboard as tab-separated
// text, one call a line, every field whole.

#include <QDialog>

class QCheckBox;
class QLabel;
class QPushButton;
class QTableView;

namespace corvandel::app {

class TCallRecords;
class TErrorsOnlyFilter;

class TCallDetails final : public QDialog {
public:
  // records must outlive the dialog.
  TCallDetails(TCallRecords& records, QWidget* parent);

  // Shows the dialog in front of the others. With a row of the records,
  // selects that call, showing every call first if the filter hides it.
  void ShowCall(int row = -1);
  // What Copy puts on the clipboard.
  QString SelectedText() const;
  void Copy();

private:
  void ShowCount();

  TCallRecords& records_;
  TErrorsOnlyFilter* shown_ = nullptr;
  QCheckBox* cbErrorsOnly_ = nullptr;
  QLabel* lblShown_ = nullptr;
  QTableView* tvCalls_ = nullptr;
  QPushButton* btnCopy_ = nullptr;
  QPushButton* btnClose_ = nullptr;
  bool followEnd_ = true;  // the table was scrolled to its end before new rows came
};

}  // namespace corvandel::app
