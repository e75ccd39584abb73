#include "app/call_records.h"

#include <QBrush>
#include <QColor>
#include <QStringList>
#include <string_view>

#include "app/window_texts.h"

namespace corvandel::app {

namespace {

// A table cell shows this much of a text; the cell's tooltip more, and a
// copy all of it. An answer that is not XML carries the whole body.
constexpr qsizetype kCellChars = 240;
constexpr qsizetype kToolTipChars = 1000;

constexpr QChar kEllipsis(0x2026);
constexpr char16_t kLineSeparator = 0x2028;
constexpr char16_t kParagraphSeparator = 0x2029;

// The separators would break the log's line; the direction controls would
// reorder what the line shows.
bool WrittenAsBytes(char16_t unit) {
  return unit == kLineSeparator || unit == kParagraphSeparator || (unit >= 0x202A && unit <= 0x202E) ||
         (unit >= 0x2066 && unit <= 0x2069);
}

const QColor kErrorColour(0xFF, 0x00, 0x00);
const QColor kSuccessColour(0x00, 0x00, 0xFF);

QString Q(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

void AppendHex(QString& out, unsigned value) {
  out += QStringLiteral("\\x");
  out += QString::number(value, 16).rightJustified(2, u'0');
}

// A shown text as the escaped body of rich text.
QString Rich(const QString& text, qsizetype limit) { return CutText(VisibleText(text), limit).toHtmlEscaped(); }

}  // namespace

QString VisibleText(const QString& text) {
  QString out;
  out.reserve(text.size());
  for (const QChar c : text) {
    const char16_t unit = c.unicode();
    if (unit == u'\r') {
      out += QStringLiteral("\\r");
    } else if (unit == u'\n') {
      out += QStringLiteral("\\n");
    } else if (unit == u'\t') {
      out += QStringLiteral("\\t");
    } else if (unit < 0x20 || unit == 0x7F) {
      AppendHex(out, unit);
    } else if (unit >= 0x80 && unit <= 0x9F) {
      AppendHex(out, 0xC2);
      AppendHex(out, unit);
    } else if (WrittenAsBytes(unit)) {
      for (const char byte : QString(c).toUtf8()) AppendHex(out, static_cast<unsigned char>(byte));
    } else {
      out += c;
    }
  }
  return out;
}

QString CutText(const QString& text, qsizetype limit) {
  if (text.size() <= limit || limit < 1) return text;
  qsizetype kept = limit - 1;
  if (kept > 0 && text[kept - 1].isHighSurrogate()) --kept;
  return text.left(kept) + kEllipsis;
}

TCallRecords::TCallRecords(QObject* parent) : QAbstractTableModel(parent) {}

int TCallRecords::Append(const engine::TPingResult& result) {
  const int row = Size();
  beginInsertRows({}, row, row);
  records_.push_back(result);
  endInsertRows();
  return row;
}

void TCallRecords::Clear() {
  if (records_.empty()) return;
  beginResetModel();
  records_.clear();
  records_.shrink_to_fit();
  endResetModel();
}

QString TCallRecords::Field(const engine::TPingResult& record, int column) const {
  switch (column) {
    case ServiceColumn:
      return VisibleText(QString::fromStdString(record.ServiceURL));
    case SiteColumn:
      return VisibleText(QString::fromStdString(record.SiteURL));
    case ThreadColumn:
      return QString::number(record.ThreadNum);
    case ResultColumn:
      return Q(record.Success ? kSuccessResult : kErrorResult);
    case CodeColumn:
      return QString::number(record.Code);
    case AnswerColumn:
      return VisibleText(QString::fromStdString(record.Answer));
    case ReasonColumn:
      return VisibleText(QString::fromStdString(record.Reason));
    default:
      return {};
  }
}

QString TCallRecords::CopyText(int row) const {
  QStringList fields;
  for (int column = 0; column < ColumnCount; ++column) fields << Field(Record(row), column);
  return fields.join(u'\t');
}

QString TCallRecords::LineToolTip(int row) const {
  const engine::TPingResult& record = Record(row);
  QString tip = QStringLiteral("<qt><b>") + Q(record.Success ? kSuccessResult : kErrorResult) +
                QStringLiteral("</b>, ") + Q(kCodeLabel) + u' ' + QString::number(record.Code);
  if (record.Code == 0) tip += u' ' + Q(kNoExchangeNote).toHtmlEscaped();
  if (!record.Reason.empty())
    tip += QStringLiteral("<br>") + Q(kReasonLabel) + u' ' + Rich(QString::fromStdString(record.Reason), kToolTipChars);
  tip += QStringLiteral("<br>") + Q(kAnswerLabel) + u' ' + Rich(QString::fromStdString(record.Answer), kToolTipChars);
  tip += QStringLiteral("<br><i>") + Q(kOpenDetailsHint).toHtmlEscaped() + QStringLiteral("</i></qt>");
  return tip;
}

int TCallRecords::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : Size(); }

int TCallRecords::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant TCallRecords::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= Size()) return {};
  const engine::TPingResult& record = Record(index.row());
  switch (role) {
    case Qt::DisplayRole:
      return CutText(Field(record, index.column()), kCellChars);
    case Qt::ToolTipRole:
      // Rich text of escaped pieces: a plain tooltip would be read as rich
      // text as soon as the service's text looked like markup.
      return QStringLiteral("<qt>") + CutText(Field(record, index.column()), kToolTipChars).toHtmlEscaped() +
             QStringLiteral("</qt>");
    case Qt::ForegroundRole:
      if (index.column() == ResultColumn) return QBrush(record.Success ? kSuccessColour : kErrorColour);
      return {};
    case Qt::TextAlignmentRole:
      if (index.column() == ThreadColumn || index.column() == CodeColumn)
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
      return {};
    case kSuccessRole:
      return record.Success;
    default:
      return {};
  }
}

QVariant TCallRecords::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static constexpr std::string_view kHeaders[ColumnCount] = {kServiceHeader, kSiteHeader,   kThreadHeader,
                                                            kResultHeader,  kCodeHeader,   kAnswerHeader,
                                                            kReasonHeader};
  if (section < 0 || section >= ColumnCount) return {};
  return Q(kHeaders[section]);
}

}  // namespace corvandel::app
