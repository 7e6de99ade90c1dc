#pragma once

#include <QString>

// Cleans a free text for the log, standard error or the interface: trims white space and line
// breaks, deletes U+0000..U+001F and U+007F, keeps at most `max` characters.
QString sanitizeLog(const QString &value, qsizetype max);
