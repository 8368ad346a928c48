// The look shared by the window and its dialogs: a light surface, a blue-grey title band,
// grey rounded buttons, Arial (or its metric twin) at 11 points.
#pragma once

#include <QFont>
#include <QString>

namespace ferrowen_style {

inline constexpr char kTitleBand[] = "rgb(74, 112, 139)";
inline constexpr char kBanner[] = "rgb(236, 246, 255)";
inline constexpr char kSurface[] = "rgb(251, 252, 255)";

// Grey rounded push buttons, darker while hovered or pressed; the page's main button
// (property "primary") blue; disabled ones pale; a blue ring on whatever has the focus.
QString ButtonSheet();
// The frame of a frameless dialog and the white text of its title band.
QString DialogSheet();
QFont TextFont(int nPoints = 11);

}  // namespace ferrowen_style
