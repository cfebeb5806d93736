#ifndef PROGRESSRANGE_H
#define PROGRESSRANGE_H

#include <QPair>
#include <QtGlobal>

// The progress bar's maximum and value (in that order) for `current` of `total` bytes. The
// bar counts in int: a total beyond int's range is halved together with the value until it fits,
// so the share shown stays right for packages over 2 GiB. A total that fits, and an
// unknown one (-1), are passed on as they are; a value beyond int's range is clamped.
QPair<int, int> progressBarRange(qint64 current, qint64 total);

#endif // PROGRESSRANGE_H
