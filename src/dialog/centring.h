#ifndef CENTRING_H
#define CENTRING_H

#include <QPoint>
#include <QSize>

// Top-left corner that centres a window: on the whole desktop when there is exactly one
// screen, otherwise on a rectangle of screen 0's size at the origin. Truncates toward zero,
// so a desktop smaller than the window gives negative coordinates.
QPoint centredPosition(
    int screenCount, const QSize& desktop, const QSize& screen0, const QSize& window);

#endif // CENTRING_H
