#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/JobView.h"

namespace vantrel::test {

// A window without widgets: holds the fields, records what it was told to draw and answers
// questions from queues (No, 取消, and a cancelled picker, when none is queued). Work posted from
// the run's thread waits until the test delivers it.
class FakeJobView final : public JobView {
public:
    FormFields fields() const override { return form; }
    void showFields(const FormFields& f) override { form = f; }
    void showKeepText(std::string_view text) override { form.setText(Setting::Keep, text); }
    void showSource(std::string_view path) override { form.setText(Setting::Source, path); }
    void showTarget(std::string_view path) override { form.setText(Setting::Target, path); }
    void showExcludeRules(std::string_view rules) override {
        form.setText(Setting::ExcludeRules, rules);
    }
    void showWorkingDirectory(std::string_view text) override { panel0 = text; }
    void showStatus(std::string_view text) override { status = text; }
    void showMessage(std::string_view text) override { messages.emplace_back(text); }
    void showList(std::string_view text, const std::vector<std::string>& items) override {
        messages.emplace_back(text);
        lists.push_back(items);
    }
    bool confirm(std::string_view question) override {
        questions.emplace_back(question);
        return next(answers, false);
    }
    SaveAnswer askSave(std::string_view question) override {
        questions.emplace_back(question);
        return next(saveAnswers, SaveAnswer::Cancel);
    }
    std::optional<std::string> pickFolder(std::string_view prompt) override {
        prompts.emplace_back(prompt);
        return next(folders, std::optional<std::string>());
    }
    void showRunning(bool on) override { running = on; }
    void showProgress(const ProgressView& p) override { progress = p; }
    void showHealth(const HealthView& h) override { health = h; }
    void showTray(std::string_view text, bool alarm) override {
        trayText = text;
        trayAlarm = alarm;
    }
    bool notify(std::string_view title, std::string_view text, Severity) override {
        if (!inTray) {
            return false;
        }
        notifications.push_back(std::string(title) + "|" + std::string(text));
        return true;
    }
    void showWindow() override { ++shownAgain; }
    void endProgram() override { ended = true; }
    void setTicking(bool on) override { ticking = on; }
    void openLogViewer(const std::filesystem::path& file, const std::filesystem::path&) override {
        logViewers.push_back(file);
    }
    void openRestoreWindow(Workspace&, const TBackupSettings& settings) override {
        restoreWindows.push_back(settings.SourcePath);
    }
    void post(std::function<void()> fn) override {
        std::lock_guard lock(m_mutex);
        m_posted.push_back(std::move(fn));
    }

    // Runs what was posted, in order, as the window's event loop would.
    void deliver() {
        for (;;) {
            std::function<void()> fn;
            {
                std::lock_guard lock(m_mutex);
                if (m_posted.empty()) {
                    return;
                }
                fn = std::move(m_posted.front());
                m_posted.pop_front();
            }
            fn();
        }
    }

    FormFields form;
    std::string panel0, status, trayText;
    bool trayAlarm = false, running = false, ticking = false, inTray = false, ended = false;
    int shownAgain = 0;
    std::optional<ProgressView> progress;
    HealthView health;
    std::vector<std::string> messages, questions, prompts, notifications;
    std::vector<std::vector<std::string>> lists;
    std::deque<bool> answers;
    std::deque<SaveAnswer> saveAnswers;
    std::deque<std::optional<std::string>> folders;
    std::vector<std::filesystem::path> logViewers;
    std::vector<std::string> restoreWindows;  // the source each was opened on

private:
    template <class T>
    static T next(std::deque<T>& queue, T fallback) {
        if (!queue.empty()) {
            fallback = queue.front();
            queue.pop_front();
        }
        return fallback;
    }

    std::mutex m_mutex;
    std::deque<std::function<void()>> m_posted;
};

}  // namespace vantrel::test
