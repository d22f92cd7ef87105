#include "platform/desktop/status_bar.h"

namespace platform {

MenuItem separatorItem()
{
    MenuItem item;
    item.separator = true;
    item.enabled = false;
    return item;
}

} // namespace platform
