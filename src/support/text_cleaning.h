#pragma once

#include <QString>

namespace mornix {

// Cleans a free text bound for the operational log, standard error or the interface:
// white space and line breaks trimmed from both ends, every U+0000..U+001F and U+007F removed
// (nothing put in their place), then at most `max` user-perceived characters (grapheme
// clusters) kept from the start. A negative max counts as 0. Thread-safe.
QString sanitizeLog(const QString &value, qsizetype max);

}  // namespace mornix
