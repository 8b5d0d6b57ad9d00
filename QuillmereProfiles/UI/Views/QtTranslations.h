#pragma once

#include <QString>
#include <string>

namespace qm {

// The name Qt's own catalogues give the language of one of our string tables ("zh-Hans" is Qt's
// "zh_CN", "zh-Hant" its "zh_TW"); empty for English, which Qt speaks without a catalogue.
QString qtLanguageForTable(const std::string& tableIdentifier);

// Qt's own texts (the file dialog's labels, columns and buttons, the standard buttons) in the
// language the application's string tables show now, which need not be the system locale's: Qt's
// "qtbase" catalogue of that language replaces the one installed before; English, or a language
// Qt has no catalogue for, leaves Qt in English. Main thread; nothing changes while the language
// stays the same. Returns the Qt language now installed (empty: none).
QString followApplicationLanguageInQtTexts();

}  // namespace qm
