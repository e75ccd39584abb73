#pragma once

// The finished calls of the current run, each whole record as the run
// controller handed it over, in the order of the log's lines. A table model
// for the details dialog, and the source of the log lines' tooltips.
//
// Everything in a record beside the worker number and the code may come
// from a service, so it is shown as plain text only: control characters
// are written out as escapes, tooltips are rich text made of escaped
// pieces, and long texts are cut for display while a copy takes them whole.
// Main thread only.

#include <QAbstractTableModel>
#include <QString>
#include <vector>

#include "engine/ping_service.h"

namespace corvandel::app {

// text with CR, LF and tab written as \r, \n and \t, the other C0 controls
// and DEL as \xNN, and the C1 controls, the line and paragraph separators
// and the direction controls (U+202A to U+202E, U+2066 to U+2069) as their
// UTF-8 bytes (\xc2\x85, \xe2\x80\xa8): as one line that shows every
// character in its order, the way corvandel-ping writes its text records.
QString VisibleText(const QString& text);

// text cut to at most limit characters, an ellipsis included, never inside
// a surrogate pair.
QString CutText(const QString& text, qsizetype limit);

class TCallRecords final : public QAbstractTableModel {
public:
  enum TColumn : int {
    ServiceColumn,
    SiteColumn,
    ThreadColumn,
    ResultColumn,
    CodeColumn,
    AnswerColumn,
    ReasonColumn,
    ColumnCount
  };
  // data() under this role: whether the call succeeded.
  static constexpr int kSuccessRole = Qt::UserRole;

  explicit TCallRecords(QObject* parent = nullptr);

  // Adds a record at the end; returns its row.
  int Append(const engine::TPingResult& result);
  void Clear();
  int Size() const { return static_cast<int>(records_.size()); }
  const engine::TPingResult& Record(int row) const { return records_[static_cast<std::size_t>(row)]; }

  // The row's fields whole, each as one visible line, tab-separated.
  QString CopyText(int row) const;
  // The tooltip of the row's log line: the result and code, the reason of
  // a failed call, the answer, and how to open the details.
  QString LineToolTip(int row) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
  // The field of a column as one visible line, not cut.
  QString Field(const engine::TPingResult& record, int column) const;

  std::vector<engine::TPingResult> records_;
};

}  // namespace corvandel::app
