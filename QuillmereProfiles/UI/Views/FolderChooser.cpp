#include "QuillmereProfiles/UI/Views/FolderChooser.h"

#include <QDateTime>
#include <QDir>
#include <QEvent>
#include <QAbstractFileIconProvider>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QListView>
#include <QLocale>
#include <QSplitter>
#include <QStyle>
#include <QTreeView>
#include <algorithm>

#include "QuillmereProfiles/UI/Views/QtTranslations.h"

namespace qm {

namespace {

// The detail view's columns as Qt's file system model numbers them.
constexpr int sizeColumn = 1;
constexpr int typeColumn = 2;
constexpr int dateColumn = 3;

// The widest date the detail view shows, in the form it shows it (the system locale's short form).
int widestDate(const QFontMetrics& metrics) {
    int widest = 0;
    for (const QTime time : {QTime(23, 59, 59), QTime(10, 59, 59)}) {
        const QDateTime sample(QDate(2026, 12, 28), time);
        widest = std::max(widest, metrics.horizontalAdvance(QLocale::system().toString(sample, QLocale::ShortFormat)));
    }
    return widest;
}

// Sized once it is laid out, before it is first drawn: the size, kind and date columns take
// their longest text or their title, the places on the left their longest name, and the dialog
// grows by what they took beyond its width, so the folder names keep their room.
void fitToTexts(QFileDialog* dialog) {
    int columnsGrowth = 0;
    if (auto* tree = dialog->findChild<QTreeView*>(QStringLiteral("treeView")); tree && tree->model()) {
        auto* header = tree->header();
        // A cell's text margins, as the item views' style draws them, and a little air.
        const int margins = 2 * (tree->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, tree) + 1) + 8;
        // The longest a row says in a column: a size, a folder's kind ("Folder", in the language
        // shown), a date; each column at least as wide as its title too.
        const QFileInfo folder(dialog->directory().absolutePath());
        const QString kind = dialog->iconProvider() ? dialog->iconProvider()->type(folder) : QString();
        const auto& metrics = tree->fontMetrics();
        const std::pair<int, int> contents[] = {
            {sizeColumn, metrics.horizontalAdvance(QLocale::system().formattedDataSize(999'900'000))},
            {typeColumn, metrics.horizontalAdvance(kind)},
            {dateColumn, widestDate(metrics)}};
        for (const auto& [column, text] : contents) {
            const int width = std::max(text + margins, header->sectionSizeHint(column));
            if (header->sectionSize(column) < width) header->resizeSection(column, width);
        }
        int columns = 0;
        for (int i = 0; i < header->count(); ++i) {
            if (!header->isSectionHidden(i)) columns += header->sectionSize(i);
        }
        columnsGrowth = std::max(0, columns - tree->viewport()->width());
    }
    auto* places = dialog->findChild<QListView*>(QStringLiteral("sidebar"));
    auto* splitter = dialog->findChild<QSplitter*>(QStringLiteral("splitter"));
    int placesWidth = 0;
    int placesGrowth = 0;
    if (places && places->model() && splitter && splitter->count() == 2 && splitter->widget(0) == places) {
        // Its widest entry as the list lays it out (icon, text, margins), inside its frame.
        placesWidth = places->sizeHintForColumn(0) + 2 * places->frameWidth() + places->spacing();
        placesGrowth = std::max(0, placesWidth - splitter->sizes()[0]);
    }
    if (columnsGrowth + placesGrowth == 0) return;
    const auto before = splitter ? splitter->sizes() : QList<int>();
    dialog->resize(dialog->width() + columnsGrowth + placesGrowth, dialog->height());
    if (placesGrowth > 0) splitter->setSizes({placesWidth, before[1] + columnsGrowth});
}

// Runs the fit at the dialog's first showing, when its parts have their sizes.
class FitWhenShown final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            if (auto* dialog = qobject_cast<QFileDialog*>(watched)) fitToTexts(dialog);
            deleteLater();
        }
        return false;
    }
};

}  // namespace

QFileDialog* makeFolderChooser(QWidget* parent, const std::filesystem::path& startFolder) {
    // Qt reads its texts as the dialog is built.
    followApplicationLanguageInQtTexts();
    auto* dialog = new QFileDialog(parent);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    std::error_code error;
    const bool usable = !startFolder.empty() && std::filesystem::is_directory(startFolder, error);
    dialog->setDirectory(usable ? QString::fromStdString(startFolder.string()) : QDir::homePath());
    dialog->installEventFilter(new FitWhenShown(dialog));
    return dialog;
}

}  // namespace qm
