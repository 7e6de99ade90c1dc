#include "support/text_cleaning.h"

#include <QTextBoundaryFinder>

namespace mornix {

namespace {

bool isControl(QChar ch)
{
    const char16_t c = ch.unicode();
    return c <= 0x1F || c == 0x7F;
}

// The first `max` grapheme clusters of text.
QString firstGraphemes(const QString &text, qsizetype max)
{
    // Each cluster holds at least one UTF-16 unit: short texts need no boundary search.
    if (text.size() <= max)
        return text;
    if (max <= 0)
        return QString();
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() >= 0) {
        if (++count == max)
            return text.left(finder.position());
    }
    return text;
}

}  // namespace

QString sanitizeLog(const QString &value, qsizetype max)
{
    const QString trimmed = value.trimmed();
    QString cleaned;
    cleaned.reserve(trimmed.size());
    for (const QChar ch : trimmed) {
        if (!isControl(ch))
            cleaned += ch;
    }
    return firstGraphemes(cleaned, max);
}

}  // namespace mornix
