#include "app/WindowScale.h"

#include <QFontMetrics>

#include <algorithm>
#include <cmath>

namespace WindowScale {

namespace {
constexpr double DesignFontHeight = 13.0;
}

double ofFont(const QFontMetrics &metrics)
{
    return std::max(1.0, metrics.height() / DesignFontHeight);
}

int scaled(int length, double scale)
{
    return static_cast<int>(std::lround(length * scale));
}

double toHold(const QSize &needed, double scale)
{
    return std::max({scale, needed.width() / static_cast<double>(DesignWidth),
                     needed.height() / static_cast<double>(DesignHeight)});
}

QSize designSize(double scale)
{
    return {scaled(DesignWidth, scale), scaled(DesignHeight, scale)};
}

} // namespace WindowScale
