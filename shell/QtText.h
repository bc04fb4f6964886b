#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <QByteArray>
#include <QString>

namespace vantrel {

// The engine's UTF-8 text as a QString for the widgets, and back.
inline QString toQString(std::string_view utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

inline std::string toUtf8(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

}  // namespace vantrel
