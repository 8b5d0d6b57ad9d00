#pragma once

#include <QString>
#include <string>

namespace qm {

// The models hold UTF-8 text; every view shows it through this one conversion.
inline QString q(const std::string& text) { return QString::fromStdString(text); }

// Labels and tooltips take text that looks like markup for rich text. Names from Viewers and from
// files are set on labels made plain (Qt::PlainText); a tooltip has no such switch, so its text is
// escaped inside markup that shows it character for character, line breaks kept.
inline QString plainToolTip(const std::string& text) {
    if (text.empty()) return {};
    return QStringLiteral("<p style='white-space:pre-wrap'>") + q(text).toHtmlEscaped() + QStringLiteral("</p>");
}

}  // namespace qm
