#include "discovery/catalog_text.h"

namespace mornix {

QString normalizedCatalogText(const QString &text)
{
    // QString::trimmed() removes the Unicode white-space set, line breaks included.
    return text.trimmed().toLower();
}

}  // namespace mornix
