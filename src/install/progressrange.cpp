#include "progressrange.h"

#include <limits>

static int clampedToInt(qint64 value)
{
    constexpr qint64 most = std::numeric_limits<int>::max();
    constexpr qint64 least = std::numeric_limits<int>::min();
    return int(qBound(least, value, most));
}

QPair<int, int> progressBarRange(qint64 current, qint64 total)
{
    // Halved together until the total fits: a power of two keeps the shares of round
    // sizes exact, so the bar's percentage matches what it shows for small packages.
    int shift = 0;
    while ((total >> shift) > std::numeric_limits<int>::max())
        ++shift;
    return qMakePair(clampedToInt(total >> shift), clampedToInt(current >> shift));
}
