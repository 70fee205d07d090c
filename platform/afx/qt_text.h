// Conversion between the platform's UTF-16 text and QString, for the afx
// layer's widgets. Both are UTF-16, so nothing is lost either way.
#pragma once

#include <string>
#include <string_view>

#include <QString>

#include "platform/core/types.h"

inline QString QStringFromWide(std::u16string_view text) {
    return QString(reinterpret_cast<const QChar*>(text.data()), static_cast<qsizetype>(text.size()));
}

inline QString QStringFromWide(LPCWSTR text) {
    return text == nullptr ? QString() : QStringFromWide(std::u16string_view(text));
}

inline std::u16string WideFromQString(const QString& text) { return text.toStdU16String(); }
