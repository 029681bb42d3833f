#pragma once
// Dialogs: every modal dialog the program shows goes through this one seam,
// so that tests can answer them (tests/support/scripted_dialogs.h) instead
// of waiting for a click that never comes.
//
// QtDialogs shows them for real, captioned with the application's title.
//
// REQUIRES: UI thread only.

#include <QString>
#include <optional>

class QWidget;

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // A message with an OK button.
  virtual void ShowMessage(QWidget* parent, const QString& text) = 0;
  // A one-line text prompt with OK and Cancel; nullopt when cancelled.
  virtual std::optional<QString> InputQuery(QWidget* parent, const QString& caption, const QString& prompt,
                                            const QString& value) = 0;
};

class QtDialogs : public Dialogs {
 public:
  // title: the caption of every message box.
  explicit QtDialogs(QString title) : title_(std::move(title)) {}
  void ShowMessage(QWidget* parent, const QString& text) override;
  std::optional<QString> InputQuery(QWidget* parent, const QString& caption, const QString& prompt,
                                    const QString& value) override;

 private:
  QString title_;
};

// Forwards to another Dialogs that can be replaced while the program runs:
// the controller hands this one to its lists, tests put theirs behind it.
class DialogsSwitch : public Dialogs {
 public:
  explicit DialogsSwitch(Dialogs* target) : target_(target) {}
  void SetTarget(Dialogs* target) { target_ = target; }
  void ShowMessage(QWidget* parent, const QString& text) override { target_->ShowMessage(parent, text); }
  std::optional<QString> InputQuery(QWidget* parent, const QString& caption, const QString& prompt,
                                    const QString& value) override {
    return target_->InputQuery(parent, caption, prompt, value);
  }

 private:
  Dialogs* target_;
};
