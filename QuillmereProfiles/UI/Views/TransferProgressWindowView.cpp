#include "QuillmereProfiles/UI/Views/TransferProgressWindowView.h"
#include "Platform/Views/QtText.h"
#include "QuillmereProfiles/UI/Views/FolderChooser.h"

#include <QCloseEvent>
#include <QColor>
#include <QFileDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <algorithm>
#include <set>

namespace qm {

namespace {

// The row's frames are given with the origin at the bottom left; Qt counts from the top.
QRect frameFromBottom(int x, int y, int width, int height) {
    return QRect(x, static_cast<int>(FileTransferCenter::rowHeight) - y - height, width, height);
}

QFont progressFont(double points, QFont::Weight weight) {
    QFont font;
    font.setPointSizeF(points);
    font.setWeight(weight);
    return font;
}

void setTextColor(QLabel* label, const QColor& color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

// The title's and the status line's sizes, and by how much a line may shrink to show whole.
constexpr double titlePoints = 13;
constexpr double statusPoints = 11;
constexpr double mostShrink = 2;

// Shows a row's line in its label so that the sentence (what the row is doing, and where) stays
// and only the name in it is shortened: whole when it fits, else a little smaller (by at most
// `mostShrink` points) while that makes it fit, else at that size with the name cut at its end.
// A line that still does not fit, or has no name, is cut at its end. Returns whether the line
// shows whole.
bool showFitted(QLabel* label, const FileTransferCenter::LineParts& parts, double points) {
    const QString before = q(parts.before);
    const QString name = q(parts.name);
    const QString after = q(parts.after);
    const QString whole = before + name + after;
    const int width = label->contentsRect().width();
    QFont font = label->font();
    for (double size = points; size >= points - mostShrink; size -= 0.5) {
        font.setPointSizeF(size);
        if (QFontMetrics(font).horizontalAdvance(whole) <= width) {
            label->setFont(font);
            label->setText(whole);
            return true;
        }
    }
    label->setFont(font);
    const QFontMetrics metrics(font);
    // A pixel or two for the kerning across the joins.
    const int room = width - metrics.horizontalAdvance(before + after) - 2;
    const QString shortened = room > 0 ? metrics.elidedText(name, Qt::ElideRight, room) : QString();
    label->setText(!name.isEmpty() && !shortened.isEmpty() ? before + shortened + after
                                                           : metrics.elidedText(whole, Qt::ElideRight, width));
    return false;
}

}  // namespace

// ---- Row ----------------------------------------------------------------------------------------

TransferProgressRowView::TransferProgressRowView(std::shared_ptr<FileTransferCenter::TaskRow> row, QWidget* parent)
    : QWidget(parent), row_(std::move(row)) {
    setFixedSize(static_cast<int>(FileTransferCenter::rowWidth), static_cast<int>(FileTransferCenter::rowHeight));
    icon_ = new QLabel(this);
    icon_->setGeometry(frameFromBottom(8, 20, 24, 24));
    icon_->setFont(progressFont(18, QFont::DemiBold));
    icon_->setAlignment(Qt::AlignCenter);
    const bool outgoing = row_->direction == FileTransferDirection::outgoing;
    setTextColor(icon_, outgoing ? QColor(0x0a, 0x64, 0xd8) : QColor(0x1f, 0x9d, 0x3a));
    // The title names the items and the status line the folder: shown as they are.
    title_ = new QLabel(this);
    title_->setTextFormat(Qt::PlainText);
    title_->setGeometry(frameFromBottom(40, 42, 320, 18));
    title_->setFont(progressFont(titlePoints, QFont::Medium));
    bar_ = new QProgressBar(this);
    bar_->setGeometry(frameFromBottom(40, 26, 320, 10));
    bar_->setTextVisible(false);
    status_ = new QLabel(this);
    status_->setTextFormat(Qt::PlainText);
    status_->setGeometry(frameFromBottom(40, 8, 320, 14));
    status_->setFont(progressFont(statusPoints, QFont::Normal));
    cancel_ = new QPushButton(this);
    cancel_->setGeometry(frameFromBottom(372, 18, 96, 28));
    // The row may be replaced while its own button's click is being handled.
    connect(cancel_, &QPushButton::clicked, this, [row = row_] { row->didCancel(); });
    // A change redraws the row once, with everything else the loop draws on its next turn: the
    // bar would otherwise paint itself (and what lies under it) at once on every value.
    row_->onChanged = [this] {
        setUpdatesEnabled(false);
        render();
        setUpdatesEnabled(true);
    };
    render();
}

TransferProgressRowView::~TransferProgressRowView() { row_->onChanged = nullptr; }

void TransferProgressRowView::render() {
    icon_->setText(q(row_->iconText()));
    // The items' names are the title's tooltip; without names, the title when it does not show whole.
    const bool titleWhole = showFitted(title_, row_->titleParts(), titlePoints);
    title_->setToolTip(plainToolTip(!row_->toolTip().empty() ? row_->toolTip() : titleWhole ? std::string() : row_->title()));
    if (row_->barIndeterminate()) {
        bar_->setRange(0, 0);  // Qt's busy bar: animated while shown
    } else {
        // QProgressBar counts in int; the row's byte figures are scaled to a fixed range.
        constexpr int scale = 10000;
        const double maximum = row_->barMaximum() > 0 ? row_->barMaximum() : 1;
        bar_->setRange(0, scale);
        bar_->setValue(static_cast<int>(row_->barValue() / maximum * scale));
    }
    const bool statusWhole = showFitted(status_, row_->statusParts(), statusPoints);
    status_->setToolTip(plainToolTip(statusWhole ? std::string() : row_->status()));
    // Secondary text while all is well, the system's red for a failure.
    setTextColor(status_, row_->statusIsError() ? QColor(0xd7, 0x00, 0x15) : palette().color(QPalette::PlaceholderText));
    cancel_->setText(q(row_->buttonTitle()));
}

// ---- Window -------------------------------------------------------------------------------------

TransferProgressWindowView::TransferProgressWindowView(std::shared_ptr<FileTransferCenter> center, QWidget* parent)
    : QWidget(parent, Qt::Window), center_(std::move(center)) {
    scroll_ = new QScrollArea(this);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setWidgetResizable(false);
    canvas_ = new QWidget;
    // The stack grows and shrinks at its bottom: a new height repaints only what it uncovers.
    canvas_->setAttribute(Qt::WA_StaticContents);
    scroll_->setWidget(canvas_);
    connect(scroll_->verticalScrollBar(), &QScrollBar::valueChanged, this, [this] { placeRows(); });
    center_->onChange = [this](const FileTransferCenter::Change& change) { apply(change); };
    center_->presentFolderPanel = [this](FileTransferCenter::FolderPanelRequest request) {
        presentFolderPanel(std::move(request));
    };
    renderWindow();
    placeRows();
}

TransferProgressWindowView::~TransferProgressWindowView() {
    center_->onChange = nullptr;
    center_->presentFolderPanel = nullptr;
}

std::vector<TransferProgressRowView*> TransferProgressWindowView::rowViews() const {
    std::vector<TransferProgressRowView*> views;
    for (const auto& [row, view] : rows_) {
        if (view) views.push_back(view.data());
    }
    std::sort(views.begin(), views.end(), [](const QWidget* a, const QWidget* b) { return a->y() < b->y(); });
    return views;
}

QFileDialog* TransferProgressWindowView::folderPanel() const { return folderPanel_.data(); }

void TransferProgressWindowView::keepOffScreen() {
    offScreen_ = true;
    hide();
}

void TransferProgressWindowView::apply(const FileTransferCenter::Change& change) {
    using Kind = FileTransferCenter::Change::Kind;
    if (change.kind == Kind::window) return renderWindow();
    if (change.kind == Kind::rowRemoved) {
        auto found = rows_.find(change.row.get());
        if (found != rows_.end()) {
            // Its own button's click may be what took it out: it goes once that is handled.
            if (auto view = found->second) {
                view->hide();
                view->deleteLater();
            }
            rows_.erase(found);
        }
    }
    // Past the rows the window shows at once, a scroll bar appears (and goes again below it).
    if ((center_->rowCount() > FileTransferCenter::maxVisibleRows) != scrolls_) renderWindow();
    placeRows();
}

void TransferProgressWindowView::renderWindow() {
    const auto& window = center_->window();
    if (!window) return;
    setWindowTitle(q(window->title));
    scrolls_ = center_->rowCount() > FileTransferCenter::maxVisibleRows;
    scroll_->setVerticalScrollBarPolicy(scrolls_ ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    // The scroll bar takes its own width beside the rows, never theirs.
    const int bar = scrolls_ ? style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, scroll_) : 0;
    const int width = static_cast<int>(window->width) + bar;
    const int height = static_cast<int>(window->height);
    if (size() != QSize(width, height)) {
        setFixedSize(width, height);
        scroll_->setGeometry(0, 0, width, height);
        placeRows();
    }
    if (!window->visible || offScreen_) {
        hide();
        return;
    }
    if (!isVisible()) show();
    if (window->orderFrontCount != shownOrderFrontCount_) {
        shownOrderFrontCount_ = window->orderFrontCount;
        raise();
        activateWindow();
    }
}

void TransferProgressWindowView::placeRows() {
    const int pad = static_cast<int>(FileTransferCenter::outerPad);
    const int rowHeight = static_cast<int>(FileTransferCenter::rowHeight);
    const int slot = rowHeight + static_cast<int>(FileTransferCenter::rowSpacing);
    const auto& stack = center_->stack();
    const int count = static_cast<int>(stack.size());
    const QSize canvas(static_cast<int>(FileTransferCenter::rowWidth) + 2 * pad,
                       2 * pad + std::max(count, 1) * slot - static_cast<int>(FileTransferCenter::rowSpacing));
    if (canvas_->size() != canvas) canvas_->resize(canvas);
    // The rows in sight: the window's height below the scrolled-to top (the scroll area fills the
    // window, so its height is the window's even before it is shown).
    const int top = scroll_->verticalScrollBar()->value();
    const int bottom = top + std::max(height(), rowHeight);
    const int first = std::clamp((top - pad) / slot, 0, count);
    const int last = std::clamp((bottom - pad) / slot + 1, first, count);
    std::set<const FileTransferCenter::TaskRow*> inSight;
    for (int index = first; index < last; ++index) {
        const auto& row = stack[static_cast<std::size_t>(index)];
        inSight.insert(row.get());
        auto& view = rows_[row.get()];
        if (!view) {
            view = new TransferProgressRowView(row, canvas_);
            view->show();
        }
        const QPoint place(pad, pad + index * slot);
        if (view->pos() != place) view->move(place);
    }
    for (auto entry = rows_.begin(); entry != rows_.end();) {
        if (inSight.contains(entry->first)) {
            ++entry;
            continue;
        }
        // Out of sight by a scroll or a move, never by its own button: it goes now, before a view
        // made for its row again (a scroll back) takes the row's changes.
        delete entry->second.data();
        entry = rows_.erase(entry);
    }
}

void TransferProgressWindowView::closeEvent(QCloseEvent* event) {
    // The close box only hides the window; the model says so, and the rows stay.
    event->accept();
    center_->windowClosedByUser();
}

void TransferProgressWindowView::presentFolderPanel(FileTransferCenter::FolderPanelRequest request) {
    auto* panel = makeFolderChooser(this, request.directory);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setWindowModality(Qt::WindowModal);
    panel->setFileMode(request.canChooseDirectories ? QFileDialog::Directory : QFileDialog::ExistingFile);
    panel->setOption(QFileDialog::ShowDirsOnly, !request.canChooseFiles);
    panel->setOption(QFileDialog::ReadOnly, !request.canCreateDirectories);
    panel->setWindowTitle(q(request.title));
    panel->setLabelText(QFileDialog::Accept, q(request.prompt));
    if (request.message) {
        panel->setLabelText(QFileDialog::LookIn, q(*request.message));
        if (auto* message = panel->findChild<QLabel*>("lookInLabel")) message->setTextFormat(Qt::PlainText);  // a name
    }
    auto answer = std::make_shared<std::function<void(std::optional<std::filesystem::path>)>>(std::move(request.answer));
    connect(panel, &QFileDialog::finished, panel, [panel, answer](int result) {
        const auto chosen = panel->selectedFiles();
        if (result == QDialog::Accepted && !chosen.isEmpty()) {
            (*answer)(std::filesystem::path(chosen.front().toStdString()));
        } else {
            (*answer)(std::nullopt);
        }
    });
    folderPanel_ = panel;
    panel->open();
}

}  // namespace qm
