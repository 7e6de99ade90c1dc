#pragma once

#include "platform/bundle.h"

#include <QVariantMap>

namespace mornix {

// The bundle that encloses an executable at ".../X.app/Contents/MacOS/<exe>". An executable
// outside that shape has no bundle: bundlePath() is its directory and Info.plist is empty.
class AppBundle final : public Bundle {
public:
    explicit AppBundle(const QString &executablePath);
    static AppBundle forRunningExecutable(const char *argv0);

    QString bundlePath() const override { return m_bundlePath; }
    QString executablePath() const override { return m_executablePath; }
    std::optional<QString> bundleIdentifier() const override;
    QVariant infoValue(const QString &key) const override { return m_info.value(key); }

    // ".../X.app" enclosing the executable path, or empty.
    static QString enclosingBundlePath(const QString &executablePath);

private:
    QString m_bundlePath;
    QString m_executablePath;
    QVariantMap m_info;
};

}  // namespace mornix
