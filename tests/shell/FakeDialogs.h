#pragma once

#include <deque>
#include <optional>

#include <QString>
#include <QStringList>

#include "shell/Dialogs.h"

namespace vantrel::test {

// Answers the program's boxes from queues and records what they showed. A question with no
// queued answer is answered No (取消 for the question on unsaved changes); a picker with no queued
// folder is cancelled.
class FakeDialogs final : public Dialogs {
public:
    void showMessage(QWidget*, const QString& text) override { messages << text; }

    Answer confirm(QWidget*, const QString& question) override {
        questions << question;
        return next(answers, Answer::No);
    }

    SaveAnswer askSave(QWidget*, const QString& question) override {
        questions << question;
        return next(saveAnswers, SaveAnswer::Cancel);
    }

    std::optional<QString> pickFolder(QWidget*, const QString& prompt) override {
        prompts << prompt;
        return next(folders, std::optional<QString>());
    }

    void showList(QWidget*, const QString& text, const QStringList& items) override {
        messages << text;
        lists << items;
    }

    std::deque<Answer> answers;
    std::deque<SaveAnswer> saveAnswers;
    QList<QStringList> lists;
    std::deque<std::optional<QString>> folders;
    QStringList messages;
    QStringList questions;
    QStringList prompts;

private:
    template <class T>
    static T next(std::deque<T>& queue, T fallback) {
        if (!queue.empty()) {
            fallback = queue.front();
            queue.pop_front();
        }
        return fallback;
    }
};

}  // namespace vantrel::test
