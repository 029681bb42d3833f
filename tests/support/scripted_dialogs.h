#pragma once
// Dialogs for tests: records every dialog that would have been shown and
// answers the prompts from a script, so that no test waits on a modal
// window. A prompt with no answer left fails the test and is cancelled.

#include <QString>
#include <QStringList>
#include <deque>
#include <optional>

#include <gtest/gtest.h>

#include "ui/dialogs.h"

class ScriptedDialogs : public Dialogs {
 public:
  // Messages as their text, prompts as "caption: prompt", in order.
  QStringList shown;
  std::deque<std::optional<QString>> answers;

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
};
