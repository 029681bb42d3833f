#include "ui/dialogs.h"

#include <QInputDialog>
#include <QMessageBox>

void QtDialogs::ShowMessage(QWidget* parent, const QString& text) {
  QMessageBox::information(parent, title_, text);
}

std::optional<QString> QtDialogs::InputQuery(QWidget* parent, const QString& caption, const QString& prompt,
                                             const QString& value) {
  bool ok = false;
  const QString text = QInputDialog::getText(parent, caption, prompt, QLineEdit::Normal, value, &ok);
  if (!ok) return std::nullopt;
  return text;
}
