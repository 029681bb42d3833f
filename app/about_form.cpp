#include "app/about_form.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/app_icon.h"
#include "app/product.h"
#include "platform/system.h"

TAboutForm::TAboutForm(ReportSourceFn source, QWidget* parent) : QDialog(parent), source_(std::move(source)) {
  setObjectName(QStringLiteral("AboutForm"));
  setWindowTitle(QStringLiteral("About ") + product::kAppName);
  setWindowIcon(AppIcon());
  setModal(true);

  auto* icon = new QLabel(this);
  icon->setPixmap(AppIcon().pixmap(48, 48));
  auto* name = new QLabel(QStringLiteral("<b>%1</b>").arg(product::kAppName), this);
  name->setObjectName(QStringLiteral("ProductName"));
  auto* version = new QLabel(QStringLiteral("Version ") + product::Version(), this);
  version->setObjectName(QStringLiteral("Version"));
  auto* text = new QLabel(QStringLiteral("Shares Outlook folders and calendars by e-mail."), this);

  SendErrorReportButton = new QPushButton(QStringLiteral("Send Error Report"), this);
  OKButton = new QPushButton(QStringLiteral("OK"), this);
  OKButton->setDefault(true);
  connect(SendErrorReportButton, &QPushButton::clicked, this, [this] {
    try {
      SendErrorReportButtonClick();
    } catch (...) {
      // Logged by the exception hook when raised; no dialog of our own.
    }
  });
  connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

  auto* info = new QVBoxLayout;
  info->addWidget(name);
  info->addWidget(version);
  info->addWidget(text);
  auto* top = new QHBoxLayout;
  top->addWidget(icon, 0, Qt::AlignTop);
  top->addLayout(info, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(SendErrorReportButton);
  buttons->addWidget(OKButton);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addStretch();
  layout->addLayout(buttons);
}

void TAboutForm::SendErrorReportButtonClick() {
  const ReportSource s = source_();
  SendWithMailClient(BuildErrorReport(s.appName, product::Version(), platform::ProductName(), s.officeVersion,
                                      s.logPath, s.configPath));
}
