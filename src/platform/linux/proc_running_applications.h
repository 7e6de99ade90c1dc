#pragma once

#include "platform/running_applications.h"

// Running applications from /proc: a process whose executable lies at
// "<B>.app/Contents/MacOS/<name>" with a readable "<B>.app/Contents/Info.plist", and whose parent
// does not run the same executable (helper children are not applications). Processes of other
// users whose executable is unreadable are skipped.
class ProcRunningApplications : public RunningApplications {
public:
    explicit ProcRunningApplications(QString procRoot = QStringLiteral("/proc"));
    QList<Application> runningApplications() const override;
    std::optional<QVariant> bundleInfoValue(const QString &bundlePath, const QString &key) const override;

private:
    QString m_proc;
};
