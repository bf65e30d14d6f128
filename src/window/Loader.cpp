// SPDX-License-Identifier: Apache-2.0
// The tool's entry: one window; of its own arguments only --help and --version.
#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <exception>
#include <string_view>

#include "uvq/Version.h"
#include "window/Encypted_ENC_loader.h"
#include "window/ErrorText.h"

namespace {

// Read by help2man for the man page (packaging/), so it keeps help2man's layout.
constexpr const char* kHelp =
    "Usage: uvq-loader [OPTION]... [QT-OPTION]...\n"
    "The operator window of the UVQ Ethernet loader: finds UVQ units on the network,\n"
    "captures them into loader mode, programs a .cry image into them, erases, resets\n"
    "and re-addresses them over UDP (port 16388).\n"
    "\n"
    "Options:\n"
    "  -h, --help     print this help and exit\n"
    "  --version      print the version and exit\n"
    "\n"
    "Qt's own options, such as -platform offscreen or -display :1, are accepted too.\n";

// Answered before Qt starts, so they need no display. -1: go on and open the window.
int AnswerHelpOrVersion(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--version") {
      std::printf("uvq-loader %s\n", uvq::kVersion);
      return 0;
    }
    if (arg == "--help" || arg == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    }
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (const int code = AnswerHelpOrVersion(argc, argv); code >= 0) return code;
  QApplication app(argc, argv);
  const QString title = QString::fromLatin1(uvq::window::kApplicationTitle);
  // The application's title names its task-bar entry and captions every error box. It is not
  // the display name, which the platform would append to the window's own caption.
  QApplication::setApplicationName(title);
  // Ties the window to its menu entry (packaging/uvq-loader.desktop) and so to its icon.
  QApplication::setDesktopFileName(QStringLiteral("uvq-loader"));
  try {
    uvq::window::TForm1 form;
    form.show();
    return QApplication::exec();
  } catch (const std::exception& error) {
    // Only the window's own construction (for example no socket to be had) ends up here.
    QMessageBox::critical(nullptr, title,
                          QString::fromStdString(uvq::window::WithFullStop(error.what())));
    return 1;
  }
}
