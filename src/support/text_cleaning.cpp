#include "support/text_cleaning.h"

#include <QTextBoundaryFinder>

QString sanitizeLog(const QString &value, qsizetype max)
{
    QString cleaned;
    const QString trimmed = value.trimmed();
    cleaned.reserve(trimmed.size());
    for (const QChar ch : trimmed) {
        const char16_t c = ch.unicode();
        if (c <= 0x1F || c == 0x7F)
            continue;
        cleaned += ch;
    }
    if (max <= 0)
        return {};
    // Characters are user-perceived characters (grapheme clusters).
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, cleaned);
    qsizetype count = 0;
    qsizetype position = 0;
    while (count < max) {
        const qsizetype next = finder.toNextBoundary();
        if (next < 0)
            return cleaned;
        position = next;
        ++count;
    }
    return cleaned.left(position);
}
