#pragma once

#include <QString>
#include <QVariant>

#include <optional>

namespace mornix {

// The main bundle of the running program: the ".app" directory that encloses the executable
// and its Contents/Info.plist. A program started outside a bundle has an empty bundle path and
// no Info.plist values. Thread: any (values are read once at construction).
class Bundle {
public:
    virtual ~Bundle() = default;

    virtual QString bundlePath() const = 0;      // ".../X.app", or the executable's directory
    virtual QString executablePath() const = 0;  // empty when unknown
    virtual std::optional<QString> bundleIdentifier() const = 0;
    // An Info.plist value: QString, bool, qint64, double, QVariantList or QVariantMap;
    // an invalid QVariant when the key is absent.
    virtual QVariant infoValue(const QString &key) const = 0;
};

}  // namespace mornix
