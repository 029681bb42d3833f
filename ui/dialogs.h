#pragma once
// Dialogs: every modal dialog the program shows goes through this one seam,
// so that tests can answer them (tests/support/scripted_dialogs.h) instead
// of waiting for a click that never comes.
//
// QtDialogs shows them for real, captioned with the application's title.
//
// REQUIRES: UI thread only.

#include <QString>
#include <memory>
#include <optional>

#include "outlook/messaging.h"

class QWidget;

// A progress window shown without blocking its caller, with a Cancel button
// whose press the caller polls between two steps.
class ProgressWindow {
 public:
  virtual ~ProgressWindow() = default;
  // The bar's maximum and the information line; the window appears.
  virtual void Show(int maximum, const QString& text) = 0;
  virtual void StepIt() = 0;
  virtual bool Canceled() const = 0;
  virtual void Hide() = 0;
};

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // A message with an OK button.
  virtual void ShowMessage(QWidget* parent, const QString& text) = 0;
  // A one-line text prompt with OK and Cancel; nullopt when cancelled.
  virtual std::optional<QString> InputQuery(QWidget* parent, const QString& caption, const QString& prompt,
                                            const QString& value) = 0;
  // A question with Yes and No; true only for Yes.
  virtual bool Confirm(QWidget* parent, const QString& text) = 0;
  // The messaging library's folder picker; null when the user cancels.
  virtual outlook::RdoFolder PickFolder(const outlook::RdoSession& session, int defaultItemType) = 0;
  // A progress window with this caption, not yet shown.
  virtual std::unique_ptr<ProgressWindow> CreateProgress(QWidget* parent, const QString& caption) = 0;
};

class QtDialogs : public Dialogs {
 public:
  // title: the caption of every message box.
  explicit QtDialogs(QString title) : title_(std::move(title)) {}
  void ShowMessage(QWidget* parent, const QString& text) override;
  std::optional<QString> InputQuery(QWidget* parent, const QString& caption, const QString& prompt,
                                    const QString& value) override;
  bool Confirm(QWidget* parent, const QString& text) override;
  outlook::RdoFolder PickFolder(const outlook::RdoSession& session, int defaultItemType) override;
  std::unique_ptr<ProgressWindow> CreateProgress(QWidget* parent, const QString& caption) override;

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
  bool Confirm(QWidget* parent, const QString& text) override { return target_->Confirm(parent, text); }
  outlook::RdoFolder PickFolder(const outlook::RdoSession& session, int defaultItemType) override {
    return target_->PickFolder(session, defaultItemType);
  }
  std::unique_ptr<ProgressWindow> CreateProgress(QWidget* parent, const QString& caption) override {
    return target_->CreateProgress(parent, caption);
  }

 private:
  Dialogs* target_;
};
