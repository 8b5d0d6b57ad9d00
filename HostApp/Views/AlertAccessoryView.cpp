#include "HostApp/Views/AlertAccessoryView.h"

#include <algorithm>

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QVBoxLayout>

namespace qm {

void addAlertAccessory(QMessageBox& box, const AlertModel& alert) {
    if (alert.accessories.empty()) return;
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (!grid) return;
    auto* panel = new QWidget(&box);
    // Room for a file name and its details on one line each.
    panel->setMinimumWidth(340);
    auto* stack = new QVBoxLayout(panel);
    stack->setContentsMargins(0, 6, 0, 0);
    stack->setSpacing(6);
    using Look = AlertModel::Accessory::Look;
    for (const auto& row : alert.accessories) {
        if (row.checkbox) {
            auto model = row.checkbox;
            auto* check = new QCheckBox(QString::fromStdString(model->title()), panel);
            QFont font = check->font();
            font.setPointSizeF(font.pointSizeF() - 1);
            check->setFont(font);
            check->setChecked(model->checked());
            QObject::connect(check, &QCheckBox::toggled, check, [model](bool on) { model->setChecked(on); });
            stack->addWidget(check);
            continue;
        }
        auto* label = new QLabel(QString::fromStdString(row.text), panel);
        label->setTextFormat(Qt::PlainText);  // rows quote item names and paths
        label->setWordWrap(true);
        QFont font = label->font();
        QPalette palette = label->palette();
        switch (row.look) {
            case Look::emphasized:
                font.setWeight(QFont::Medium);
                break;
            case Look::detail:
                font.setPointSizeF(font.pointSizeF() - 1);
                palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
                break;
            case Look::warning:
                font.setPointSizeF(font.pointSizeF() - 1);
                palette.setColor(QPalette::WindowText, QColor(255, 149, 0));
                break;
        }
        label->setFont(font);
        label->setPalette(palette);
        stack->addWidget(label);
    }
    // Under the informative text, in its column; the buttons move down a row.
    int row = grid->rowCount();
    int column = 1;
    int rows = 0;
    int columns = 0;
    if (auto* text = box.findChild<QLabel*>("qt_msgbox_informativelabel"); text && grid->indexOf(text) >= 0) {
        int textRow = 0;
        grid->getItemPosition(grid->indexOf(text), &textRow, &column, &rows, &columns);
    }
    auto* buttons = box.findChild<QDialogButtonBox*>("qt_msgbox_buttonbox");
    int buttonColumn = 0;
    int buttonColumns = grid->columnCount();
    if (buttons && grid->indexOf(buttons) >= 0) {
        grid->getItemPosition(grid->indexOf(buttons), &row, &buttonColumn, &rows, &buttonColumns);
        grid->removeWidget(buttons);
        grid->addWidget(buttons, row + 1, buttonColumn, 1, buttonColumns);
    }
    grid->addWidget(panel, row, column, 1, std::max(1, grid->columnCount() - column));
}

}  // namespace qm
