#include "dialog_units.h"

#include <QString>

namespace cardflash {

namespace {

// x * numerator / denominator, rounded half away from zero, as template layouts are.
int Scale(int value, int numerator, int denominator) {
  long long product = static_cast<long long>(value) * numerator;
  long long half = denominator / 2;
  return static_cast<int>(product >= 0 ? (product + half) / denominator : (product - half) / denominator);
}

}  // namespace

DialogBaseUnits BaseUnitsOf(const QFontMetrics& metrics) {
  // The average over the 52 Latin letters, rounded: the width the template's units assume.
  const int letters = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return {(letters / 26 + 1) / 2, metrics.height()};
}

QSize DialogUnitsToPixels(const DialogBaseUnits& base, QSize units) {
  return {Scale(units.width(), base.x, 4), Scale(units.height(), base.y, 8)};
}

QRect DialogUnitsToPixels(const DialogBaseUnits& base, QRect units) {
  return {Scale(units.x(), base.x, 4), Scale(units.y(), base.y, 8), Scale(units.width(), base.x, 4),
          Scale(units.height(), base.y, 8)};
}

}  // namespace cardflash
