// The tool's entry: one window, no command-line arguments of its own.
#include <QApplication>
#include <QMessageBox>
#include <exception>

#include "window/Encypted_ENC_loader.h"
#include "window/ErrorText.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QString title = QString::fromLatin1(uvq::window::kApplicationTitle);
  // The application's title names its task-bar entry and captions every error box. It is not
  // the display name, which the platform would append to the window's own caption.
  QApplication::setApplicationName(title);
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
