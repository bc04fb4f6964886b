#pragma once

#include <deque>
#include <optional>

#include <QString>
#include <QStringList>

#include "shell/Dialogs.h"

namespace vantrel::test {

// Answers the program's boxes from queues and records what they showed. A question with no
// queued answer is answered No; a picker with no queued folder is cancelled.
class FakeDialogs final : public Dialogs {
public:
    void showMessage(QWidget*, const QString& text) override { messages << text; }

    Answer confirm(QWidget*, const QString& question) override {
        questions << question;
        if (answers.empty()) {
            return Answer::No;
        }
        const Answer answer = answers.front();
        answers.pop_front();
        return answer;
    }

    std::optional<QString> pickFolder(QWidget*, const QString& prompt) override {
        prompts << prompt;
        if (folders.empty()) {
            return std::nullopt;
        }
        auto folder = folders.front();
        folders.pop_front();
        return folder;
    }

    std::deque<Answer> answers;
    std::deque<std::optional<QString>> folders;
    QStringList messages;
    QStringList questions;
    QStringList prompts;
};

}  // namespace vantrel::test
