#pragma once

#include <QString>

// The comparison form of catalog and command texts (bundle identifiers, names, keys, actions):
// leading and trailing white space and line breaks removed, then lower-cased.
// Team identifiers are never normalised.
QString normalizedCatalogText(const QString &text);
