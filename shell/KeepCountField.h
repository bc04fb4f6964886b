#pragma once

#include <functional>

#include <QValidator>

class QLineEdit;

namespace vantrel {

// Lets into the keep-count field only what the field may hold; any other key is dropped.
class KeepCountValidator final : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int& pos) const override;
};

// Makes `field` the keep-count field: its keys filtered, and `commit` called when the user
// leaves it after a change (not when a box or another program takes the focus).
void makeKeepCountField(QLineEdit* field, std::function<void()> commit);

}  // namespace vantrel
