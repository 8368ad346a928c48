#include "ui/style.h"

namespace ferrowen_style {

QString ButtonSheet() {
    return QStringLiteral(
        "QPushButton { background-color: rgb(191, 191, 191); color: rgb(30, 30, 30);"
        " border: none; border-radius: 6px; padding: 6px 18px; min-width: 64px; }"
        "QPushButton:hover, QPushButton:pressed { background-color: rgb(156, 156, 156); }"
        "QPushButton:focus { border: 2px solid rgb(30, 90, 160); padding: 4px 16px; }"
        "QPushButton[primary=\"true\"] { background-color: rgb(46, 110, 170); color: white;"
        " font-weight: bold; }"
        "QPushButton[primary=\"true\"]:hover, QPushButton[primary=\"true\"]:pressed {"
        " background-color: rgb(30, 86, 140); }"
        "QPushButton[primary=\"true\"]:focus { border: 2px solid rgb(255, 190, 60); }"
        // Disabled is pale and flat, never darker than enabled: it must read as "off".
        "QPushButton:disabled, QPushButton[primary=\"true\"]:disabled {"
        " background-color: rgb(228, 230, 234); color: rgb(160, 164, 170); border: none; }"
        "QCheckBox:focus, QTreeView:focus, QTableView:focus, QLineEdit:focus,"
        " QPlainTextEdit:focus { outline: none; border: 2px solid rgb(30, 90, 160); }");
}

QString DialogSheet() {
    return QStringLiteral(
               "QDialog { background-color: %1; border: 1px solid %2; }"
               "QLabel#titleBand { background-color: %2; color: white; }")
               .arg(kSurface, kTitleBand) +
           ButtonSheet();
}

QFont TextFont(int nPoints) {
    QFont font(QStringLiteral("Arial"));
    font.setPointSize(nPoints);
    return font;
}

}  // namespace ferrowen_style
