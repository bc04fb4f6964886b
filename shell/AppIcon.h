#pragma once

#include <QIcon>
#include <QPixmap>

namespace vantrel {

// The program's icon, drawn at the given edge length (32 is the tray's size).
QPixmap drawAppIcon(int size);
// The icon with pixmaps at 16, 32, 48, 64, 128 and 256 pixels.
QIcon appIcon();

}  // namespace vantrel
