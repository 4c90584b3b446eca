// The program's icon (a map pin over a globe): the window icon, the tray
// icon and the picture in the about box. It is built into the program.
#pragma once

#include <QIcon>

QIcon nivraIcon();
