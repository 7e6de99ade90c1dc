#pragma once

#include <QString>

namespace mornix {

// The comparison form of catalog and command texts (bundle identifiers, names, keys, actions):
// leading and trailing white space and line breaks removed, then lower-cased.
// Team identifiers are never normalised.
QString normalizedCatalogText(const QString &text);

}  // namespace mornix
