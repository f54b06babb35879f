#pragma once

// The window was designed at 417 × 362 pixels for an 8-point Windows font, whose cell is 13 pixels
// high. Desktops here use larger fonts and scaling: the design's fixed lengths grow with the
// font's cell, and the layouts place everything else.

#include <QSize>

class QFontMetrics;

namespace WindowScale {

inline constexpr int DesignWidth = 417;
inline constexpr int DesignHeight = 362;

// The scale the font's cell asks for; never below the design.
double ofFont(const QFontMetrics &metrics);

int scaled(int length, double scale);

// The smallest scale, not below `scale`, at which the design's size holds `needed`.
double toHold(const QSize &needed, double scale);

QSize designSize(double scale);

} // namespace WindowScale
