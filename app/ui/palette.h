// The colours of Nivra's windows: the lavender background (red 180, green
// 181, blue 226) that every window has always had, with text that can be
// read on it whether its control is enabled or not. Grey on lavender, the
// toolkit's usual look for a disabled control, could not be read at all.
#pragma once

#include <QColor>
#include <QPalette>

class QWidget;

// The windows' background.
QColor nivraBackground();

// The program's palette: every colour group, the disabled one included.
QPalette nivraPalette();

// Gives `window` the program's palette and fills its background with it.
void useNivraPalette(QWidget& window);
