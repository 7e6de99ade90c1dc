#pragma once

#include <QString>
#include <QVariant>

#include <optional>

namespace mornix {

// Opens other application bundles (not the main one) to read their Info.plist.
// Thread: any; each call reads the file afresh.
class BundleReader {
public:
    virtual ~BundleReader() = default;
    // An Info.plist value of the bundle at ".../X.app"; nullopt when the bundle cannot be opened,
    // an invalid QVariant when the key is absent. Integers come as qint64.
    virtual std::optional<QVariant> infoValue(const QString &bundlePath, const QString &key) const = 0;
};

}  // namespace mornix
