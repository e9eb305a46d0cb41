#pragma once
// The application object of the window programs: an exception that leaves an event
// handler is shown in the standard exception box and the program goes on, instead of
// unwinding through the event loop.
#include <QApplication>
#include <QString>

// The standard exception box, captioned with the application's name (or fallbackCaption).
void ShowTopLevelException(const char* what, const QString& fallbackCaption);

class GuardedApplication final : public QApplication {
 public:
  // fallbackCaption: the box caption while the application has no name.
  GuardedApplication(int& argc, char** argv, QString fallbackCaption)
      : QApplication(argc, argv), fallbackCaption_(std::move(fallbackCaption)) {}
  bool notify(QObject* receiver, QEvent* event) override;
  const QString& fallbackCaption() const { return fallbackCaption_; }

 private:
  QString fallbackCaption_;
};
