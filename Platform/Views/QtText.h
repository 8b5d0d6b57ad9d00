#pragma once

#include <QString>
#include <string>

namespace qm {

// The models hold UTF-8 text; every view shows it through this one conversion.
inline QString q(const std::string& text) { return QString::fromStdString(text); }

}  // namespace qm
