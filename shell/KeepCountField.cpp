#include "shell/KeepCountField.h"

#include <QEvent>
#include <QFocusEvent>
#include <QLineEdit>

#include "app/JobPresenter.h"
#include "shell/QtText.h"

namespace vantrel {

namespace {

class CommitOnLeaving final : public QObject {
public:
    CommitOnLeaving(QLineEdit* field, std::function<void()> commit)
        : QObject(field), m_field(field), m_commit(std::move(commit)) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == m_field && event->type() == QEvent::FocusOut && m_field->isModified()) {
            const auto reason = static_cast<QFocusEvent*>(event)->reason();
            if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
                m_field->setModified(false);
                m_commit();
            }
        }
        return false;
    }

private:
    QLineEdit* m_field;
    std::function<void()> m_commit;
};

}  // namespace

QValidator::State KeepCountValidator::validate(QString& input, int& /*pos*/) const {
    return JobPresenter::keepCountAccepts(toUtf8(input)) ? Acceptable : Invalid;
}

void makeKeepCountField(QLineEdit* field, std::function<void()> commit) {
    field->setValidator(new KeepCountValidator(field));
    field->installEventFilter(new CommitOnLeaving(field, std::move(commit)));
}

}  // namespace vantrel
