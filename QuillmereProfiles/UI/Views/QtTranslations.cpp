#include "QuillmereProfiles/UI/Views/QtTranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QPointer>
#include <QTranslator>

#include "QuillmereProfiles/QuillmereL10n.h"

namespace qm {

namespace {

// What the file dialog shows that Qt's catalogues leave untranslated in most languages (a
// folder's kind in the Type column, a drive's), from our own tables. Installed before Qt's
// catalogue, so it is asked only where that catalogue has no text.
class QtTextsFromOurTables : public QTranslator {
public:
    using QTranslator::QTranslator;
    bool isEmpty() const override { return false; }
    QString translate(const char* context, const char* sourceText, const char* disambiguation = nullptr,
                      int n = -1) const override {
        (void)disambiguation;
        (void)n;
        if (qstrcmp(context, "QAbstractFileIconProvider") != 0) return {};
        if (qstrcmp(sourceText, "Folder") == 0)
            return QString::fromStdString(QuillmereL10n::text("fileTransfer.chooser.folderKind", "Folder"));
        if (qstrcmp(sourceText, "Drive") == 0)
            return QString::fromStdString(QuillmereL10n::text("fileTransfer.chooser.driveKind", "Drive"));
        return {};
    }
};

}  // namespace

QString qtLanguageForTable(const std::string& tableIdentifier) {
    if (tableIdentifier.empty() || tableIdentifier == "en") return {};
    if (tableIdentifier == "zh-Hans") return QStringLiteral("zh_CN");
    if (tableIdentifier == "zh-Hant") return QStringLiteral("zh_TW");
    return QString::fromStdString(tableIdentifier).replace(QLatin1Char('-'), QLatin1Char('_'));
}

QString followApplicationLanguageInQtTexts() {
    auto* application = QCoreApplication::instance();
    if (!application) return {};
    // The language the tables show: the strings folder every lookup uses now ("fr.lproj"); none
    // means the English defaults.
    const auto bundle = QuillmereL10n::localizedBundle();
    const QString wanted = qtLanguageForTable(bundle ? bundle->stem().string() : std::string());
    // The translator is the application's child, so it goes with it; its name is its language.
    static QPointer<QTranslator> ours;
    if (!ours) {
        ours = new QtTextsFromOurTables(application);
        QCoreApplication::installTranslator(ours);
    }
    static QPointer<QTranslator> installed;
    if ((installed ? installed->objectName() : QString()) == wanted) return wanted;
    if (installed) {
        QCoreApplication::removeTranslator(installed);
        delete installed;
    }
    QString now;
    if (!wanted.isEmpty()) {
        auto* translator = new QTranslator(application);
        if (translator->load(QStringLiteral("qtbase_") + wanted, QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
            translator->setObjectName(wanted);
            QCoreApplication::installTranslator(translator);
            installed = translator;
            now = wanted;
        } else {
            delete translator;
        }
    }
    // The windows up now are told at once, not later: a dialog made next among their children
    // would be told too, and would put Qt's texts back in place of those its owner just set.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LanguageChange);
    return now;
}

}  // namespace qm
