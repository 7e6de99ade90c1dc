#pragma once

#include <QList>
#include <QString>
#include <QVariant>

#include <optional>

// The minimal view of running applications that the bridge's older-copy test needs.
// Thread: any; each call reads the system afresh.
class RunningApplications {
public:
    struct Application {
        qint64 pid = 0;
        std::optional<QString> bundleIdentifier;
        std::optional<QString> bundlePath;   // absent when the process has no bundle
    };

    virtual ~RunningApplications() = default;
    virtual QList<Application> runningApplications() const = 0;
    // An Info.plist value of a bundle; nullopt when the bundle cannot be opened, an invalid
    // QVariant when the key is absent. Integers come as qint64.
    virtual std::optional<QVariant> bundleInfoValue(const QString &bundlePath, const QString &key) const = 0;
};
