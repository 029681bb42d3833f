#include "ui/dialogs.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWindow>

namespace {

// Not modal: the main window stays usable while the caller works and lets
// the message loop run between its steps.
class QtProgressWindow : public ProgressWindow {
 public:
  QtProgressWindow(QWidget* parent, const QString& caption) : window_(new QDialog(parent)) {
    window_->setObjectName(QStringLiteral("zProgressBar"));
    window_->setWindowTitle(caption);
    window_->setModal(false);
    auto* layout = new QVBoxLayout(window_);
    info_ = new QLabel(window_);
    bar_ = new QProgressBar(window_);
    bar_->setMinimumWidth(320);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), window_);
    cancel->setObjectName(QStringLiteral("Cancel"));
    layout->addWidget(info_);
    layout->addWidget(bar_);
    layout->addWidget(cancel, 0, Qt::AlignRight);
    QObject::connect(cancel, &QPushButton::clicked, window_, [this] { canceled_ = true; });
    // Closing the window is a cancel too.
    QObject::connect(window_, &QDialog::rejected, window_, [this] { canceled_ = true; });
  }
  ~QtProgressWindow() override { delete window_.data(); }

  void Show(int maximum, const QString& text) override {
    bar_->setRange(0, maximum);
    bar_->setValue(0);
    info_->setText(text);
    window_->show();
    window_->raise();
    // The caller starts its work at once and lets the loop run only between
    // two items: the window is drawn now, not after the first item.
    const QDeadlineTimer deadline(kDrawWaitMs);
    while (window_ && !(window_->windowHandle() && window_->windowHandle()->isExposed()) && !deadline.hasExpired())
      QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 10);
    if (window_) window_->repaint();
  }
  void StepIt() override { bar_->setValue(bar_->value() + 1); }
  bool Canceled() const override { return canceled_; }
  void Hide() override {
    if (window_) window_->hide();
  }

 private:
  // How long Show waits for the window system to put the window on screen.
  static constexpr int kDrawWaitMs = 500;
  // The parent may go first and take the window with it.
  QPointer<QDialog> window_;
  QLabel* info_;
  QProgressBar* bar_;
  bool canceled_ = false;
};

}  // namespace

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

bool QtDialogs::Confirm(QWidget* parent, const QString& text) {
  return QMessageBox::question(parent, title_, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) ==
         QMessageBox::Yes;
}

outlook::RdoFolder QtDialogs::PickFolder(const outlook::RdoSession& session, int defaultItemType) {
  return session.PickFolder(defaultItemType);
}

std::unique_ptr<ProgressWindow> QtDialogs::CreateProgress(QWidget* parent, const QString& caption) {
  return std::make_unique<QtProgressWindow>(parent, caption);
}
