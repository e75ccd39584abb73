// Runs the window's tests inside one QApplication, on the offscreen
// platform unless the environment names another (the screenshots use X).

#include <gtest/gtest.h>

#include <QApplication>

// Leaks inside the desktop's own libraries (the session bus, fonts) are not
// ours to mend; a sanitized run ignores them.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libdbus-1.so\n"
         "leak:libfontconfig.so\n";
}

// Qt and the desktop's libraries are not built for the race detector: their
// own threads (the painter's pool, the X connection's reader, the main
// loop's wake-ups) hand memory and descriptors over under locks it cannot
// see.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so\n"
         "called_from_lib:libQt6Gui.so\n"
         "called_from_lib:libQt6Widgets.so\n"
         "called_from_lib:libQt6XcbQpa.so\n"
         "called_from_lib:libQt6DBus.so\n"
         "called_from_lib:libglib-2.0.so\n"
         "called_from_lib:libxcb.so\n"
         "mutex:libX11.so\n";
}

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  testing::InitGoogleTest(&argc, argv);
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Corvandel"));
  QApplication::setApplicationDisplayName(QStringLiteral("Corvandel"));
  // Tests close windows and go on.
  QApplication::setQuitOnLastWindowClosed(false);
  return RUN_ALL_TESTS();
}
