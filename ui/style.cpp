#include "ui/style.h"

namespace ferrowen_style {

QString ButtonSheet() {
    return QStringLiteral(
        "QPushButton { background-color: rgb(191, 191, 191); color: rgb(30, 30, 30);"
        " border: none; border-radius: 6px; padding: 6px 18px; min-width: 64px; }"
        "QPushButton:hover, QPushButton:pressed { background-color: rgb(156, 156, 156); }"
        "QPushButton:disabled { background-color: rgb(120, 120, 120);"
        " color: rgb(200, 200, 200); }");
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
