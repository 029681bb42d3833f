#pragma once
// Dialogs for tests: records every dialog that would have been shown and
// answers the prompts from a script, so that no test waits on a modal
// window. A prompt with no answer left fails the test and is cancelled.

#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <optional>

#include <gtest/gtest.h>

#include "ui/dialogs.h"

class ScriptedDialogs : public Dialogs {
 public:
  // Messages as their text, prompts as "caption: prompt", questions as
  // "? " + text, the picker as "pick <item type>", a progress window as
  // "progress <caption>: <information line>", in order.
  QStringList shown;
  std::deque<std::optional<QString>> answers;
  // Answers to questions, in order; Yes when empty.
  std::deque<bool> confirms;
  // Answers to the folder picker, in order; each runs when the picker opens
  // (a null folder is a cancel). None left: cancelled, and the test fails.
  std::deque<std::function<outlook::RdoFolder()>> picks;
  // The progress window's Cancel is pressed once this many steps were made.
  std::optional<int> cancelAfterSteps;
  int steps = 0;
  // Runs after each step, as the user might act while the window is up.
  std::function<void(int step)> onStep;
  bool progressVisible = false;

  void ShowMessage(QWidget*, const QString& text) override { shown << text; }
  std::optional<QString> InputQuery(QWidget*, const QString& caption, const QString& prompt,
                                    const QString&) override {
    shown << caption + QStringLiteral(": ") + prompt;
    if (answers.empty()) {
      ADD_FAILURE() << "unanswered prompt: " << prompt.toStdString();
      return std::nullopt;
    }
    std::optional<QString> answer = answers.front();
    answers.pop_front();
    return answer;
  }
  bool Confirm(QWidget*, const QString& text) override {
    shown << QStringLiteral("? ") + text;
    if (confirms.empty()) return true;
    const bool yes = confirms.front();
    confirms.pop_front();
    return yes;
  }
  outlook::RdoFolder PickFolder(const outlook::RdoSession&, int defaultItemType) override {
    shown << QStringLiteral("pick %1").arg(defaultItemType);
    if (picks.empty()) {
      ADD_FAILURE() << "unanswered folder picker";
      return outlook::RdoFolder();
    }
    auto pick = std::move(picks.front());
    picks.pop_front();
    return pick();
  }
  std::unique_ptr<ProgressWindow> CreateProgress(QWidget*, const QString& caption) override {
    return std::make_unique<Progress>(*this, caption);
  }

 private:
  class Progress : public ProgressWindow {
   public:
    Progress(ScriptedDialogs& owner, QString caption) : owner_(owner), caption_(std::move(caption)) {}
    void Show(int maximum, const QString& text) override {
      owner_.shown << QStringLiteral("progress %1 of %2: %3").arg(caption_).arg(maximum).arg(text);
      owner_.progressVisible = true;
    }
    void StepIt() override {
      ++owner_.steps;
      if (owner_.onStep) owner_.onStep(owner_.steps);
    }
    bool Canceled() const override { return owner_.cancelAfterSteps && owner_.steps >= *owner_.cancelAfterSteps; }
    void Hide() override { owner_.progressVisible = false; }

   private:
    ScriptedDialogs& owner_;
    QString caption_;
  };
};
