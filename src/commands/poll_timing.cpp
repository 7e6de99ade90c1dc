#include "commands/poll_timing.h"

#include <QRandomGenerator>

#include <algorithm>

namespace mornix {

std::uint64_t jitteredNanoseconds(std::uint64_t base, double jitterFraction)
{
    if (base == 0)
        return 0;
    const double b = static_cast<double>(base);
    const double j = b * std::max(jitterFraction, 0.0);
    const double r = j > 0 ? QRandomGenerator::system()->bounded(2.0 * j) - j : 0.0;
    return static_cast<std::uint64_t>(std::max(b + r, 0.0));
}

}  // namespace mornix
