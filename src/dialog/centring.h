#ifndef CENTRING_H
#define CENTRING_H

#include <QPoint>
#include <QRect>
#include <QSize>

// Top-left corner that centres a window on a screen's work area (the screen without the
// taskbar), so no part of it hides behind the taskbar. Truncates toward zero; a window larger
// than the area keeps its top-left corner, and with it the close button, inside the area.
// An empty area (no screen) gives the origin.
QPoint centredPosition(const QRect& workArea, const QSize& window);

#endif // CENTRING_H
