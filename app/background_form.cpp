#include "app/background_form.h"

#include <QCloseEvent>
#include <QCoreApplication>

TBackgroundForm::TBackgroundForm(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("BackgroundForm"));
  resize(635, 300);
}

void TBackgroundForm::closeEvent(QCloseEvent* event) {
  event->accept();
  QCoreApplication::quit();
}
