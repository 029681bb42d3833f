#pragma once
// TBackgroundForm: the application's hidden main window. It is never shown;
// closing it ends the message loop and so the program.

#include <QWidget>

class TBackgroundForm : public QWidget {
  Q_OBJECT
 public:
  explicit TBackgroundForm(QWidget* parent = nullptr);

 protected:
  void closeEvent(QCloseEvent* event) override;
};
