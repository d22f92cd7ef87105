#include "platform/desktop/status_bar.h"

namespace platform {

MenuItem separatorItem()
{
    MenuItem item;
    item.separator = true;
    item.enabled = false;
    return item;
}

BadgeGeometry badgeGeometry(double baseWidth, double baseHeight, double badgeWidth, double badgeHeight)
{
    BadgeGeometry geometry;
    geometry.width = baseWidth + 0.45 * badgeWidth;
    geometry.height = baseHeight;
    geometry.base = {0, 0, baseWidth, baseHeight};
    geometry.badge = {geometry.width - badgeWidth, 0, badgeWidth, badgeHeight};
    geometry.halo = {geometry.badge.x - 1.5, -1.5, badgeWidth + 3, badgeHeight + 3};
    return geometry;
}

} // namespace platform
