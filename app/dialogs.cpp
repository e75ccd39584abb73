#include "app/dialogs.h"

#include <QAbstractFileIconProvider>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <utility>

namespace corvandel::app {

namespace {

TMessageHook& MessageHook() {
  static TMessageHook hook;
  return hook;
}

class TKindIconProvider : public QAbstractFileIconProvider {
public:
  QIcon icon(IconType type) const override { return QAbstractFileIconProvider::icon(type); }
  QIcon icon(const QFileInfo& info) const override {
    return QAbstractFileIconProvider::icon(info.isDir() ? Folder : File);
  }
  QString type(const QFileInfo& info) const override {
    if (info.isDir()) return QStringLiteral("Folder");
    if (info.isSymLink()) return QStringLiteral("Link");
    return info.isFile() ? QStringLiteral("File") : QStringLiteral("Special file");
  }
};

TFileDialogHook& FileDialogHook() {
  static TFileDialogHook hook;
  return hook;
}

void Show(QWidget* parent, TMessageKind kind, const QString& text) {
  const QString title = QGuiApplication::applicationDisplayName();
  if (MessageHook()) {
    MessageHook()({kind, title, text});
    return;
  }
  // Qt breaks lines at LF only; the window's texts may use a lone CR.
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
  QMessageBox box(kind == TMessageKind::Error ? QMessageBox::Critical : QMessageBox::NoIcon, title, shown,
                  QMessageBox::Ok, parent);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

}  // namespace

void SetMessageHook(TMessageHook hook) { MessageHook() = std::move(hook); }
void SetFileDialogHook(TFileDialogHook hook) { FileDialogHook() = std::move(hook); }

void ShowMessage(QWidget* parent, const QString& text) { Show(parent, TMessageKind::Information, text); }
void ShowError(QWidget* parent, const QString& text) { Show(parent, TMessageKind::Error, text); }

void UseFileIconsWithoutReading(QFileDialog& dialog) {
  static TKindIconProvider provider;  // main thread only, outlives every dialog
  dialog.setIconProvider(&provider);
}

std::optional<QString> ExecFileDialog(QFileDialog& dialog) {
  const bool confirmed = FileDialogHook() ? FileDialogHook()(dialog) : dialog.exec() == QDialog::Accepted;
  if (!confirmed) return std::nullopt;
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty() || files.front().isEmpty()) return std::nullopt;
  dialog.selectFile(files.front());
  return files.front();
}

}  // namespace corvandel::app
