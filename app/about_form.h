#pragma once
// TAboutForm: the About window (product name, version) with the buttons
// "Send Error Report" and "OK". Shown modally from the Help menu.

#include <QDialog>
#include <functional>

#include "app/error_report.h"

class QPushButton;

class TAboutForm : public QDialog {
  Q_OBJECT
 public:
  // `reportSource` gives the paths and versions the report needs, read at the
  // moment the button is pressed.
  struct ReportSource {
    QString appName;
    QString officeVersion;
    QString logPath;
    QString configPath;
  };
  using ReportSourceFn = std::function<ReportSource()>;

  explicit TAboutForm(ReportSourceFn source, QWidget* parent = nullptr);

  // Builds the error report and hands it to the system's mail client. Throws
  // MailClientError; the application's exception handler swallows it once
  // the exception hook has logged it.
  void SendErrorReportButtonClick();

  QPushButton* SendErrorReportButton = nullptr;
  QPushButton* OKButton = nullptr;

 private:
  ReportSourceFn source_;
};
