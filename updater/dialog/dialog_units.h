// Dialog units: the dialog's layout is given in units of its font, so that it scales with the
// font. One horizontal unit is a quarter of the font's average character width, one vertical
// unit an eighth of its height (the same base units as Windows dialog templates).
#pragma once

#include <QFontMetrics>
#include <QRect>
#include <QSize>

namespace cardflash {

struct DialogBaseUnits {
  int x;  // average character width in pixels
  int y;  // character height in pixels
};

DialogBaseUnits BaseUnitsOf(const QFontMetrics& metrics);
QSize DialogUnitsToPixels(const DialogBaseUnits& base, QSize units);
QRect DialogUnitsToPixels(const DialogBaseUnits& base, QRect units);

}  // namespace cardflash
