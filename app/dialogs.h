#pragma once

// The window's modal dialogs: message boxes and file dialogs. Each can be
// answered by a hook instead of a person, as the tests do; an empty hook
// brings the real dialog back. Main thread only.

#include <QString>
#include <functional>
#include <optional>

class QFileDialog;
class QWidget;

namespace corvandel::app {

enum class TMessageKind { Information, Error };

struct TMessage {
  TMessageKind Kind = TMessageKind::Information;
  QString Title;
  QString Text;  // exactly as the window passed it
};

using TMessageHook = std::function<void(const TMessage& message)>;
void SetMessageHook(TMessageHook hook);

// A modal message box titled with the application's name. A CR in text
// starts a new line.
void ShowMessage(QWidget* parent, const QString& text);
// The standard error box, for a failure that a handler does not deal with
// itself; text is the failure's own message.
void ShowError(QWidget* parent, const QString& text);

// Stands in for running the dialog: it may choose a file (selectFile) and
// returns whether the dialog was confirmed.
using TFileDialogHook = std::function<bool(QFileDialog& dialog)>;
void SetFileDialogHook(TFileDialogHook hook);

// Gives dialog icons and type names taken from the kind of entry alone. The
// standard provider reads the first bytes of every file it shows to learn
// its type, and some files (in /proc, FIFOs) make that read wait for ever,
// which froze the dialog as soon as such a folder was typed in.
void UseFileIconsWithoutReading(QFileDialog& dialog);

// Runs dialog modally; the chosen file, or nothing when it was cancelled.
// The dialog keeps the choice, so it opens on it the next time.
std::optional<QString> ExecFileDialog(QFileDialog& dialog);

}  // namespace corvandel::app
