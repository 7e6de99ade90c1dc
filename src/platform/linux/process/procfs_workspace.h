#pragma once

#include "platform/linux/process/executable_listing.h"
#include "platform/linux/foreign_file.h"

#include <memory>

#include "platform/workspace.h"

#include <QHash>
#include <QMutex>
#include <QStringList>
#include <QVariantMap>

namespace mornix {

// Workspace over the bundle model: a running application is a process whose executable is
// "<B>.app/Contents/MacOS/<CFBundleExecutable>" with a readable "<B>.app/Contents/Info.plist"
// (opened without following links or blocking, read only when a regular file), and whose parent
// does not run the same executable (helper children of an application are not applications).
// Launch date = process start; terminate = SIGTERM, force terminate = SIGKILL, both through a
// pidfd checked against the launch. Opening a URL starts a handler detached, as command-line
// programs here do (see openCommands). Construction does no work. Thread: any.
class ProcfsWorkspace final : public Workspace {
public:
    // listing: shared with the process table by the production factory; null reads the pids and
    // executable paths of /proc at each call (what a mode that lists applications once needs).
    // browsers: the user's $BROWSER (see openCommands), empty for none.
    explicit ProcfsWorkspace(std::shared_ptr<const ExecutableListing> listing = nullptr, QString browsers = {})
        : m_listing(std::move(listing))
        , m_browsers(std::move(browsers))
    {
    }

    QList<RunningApplication> runningApplications() const override;
    std::optional<RunningApplication> runningApplication(qint32 pid) const override;
    QList<RunningApplication> runningApplications(const QString &bundleIdentifier) const override;
    bool terminate(const RunningApplication &application) override;
    bool forceTerminate(const RunningApplication &application) override;
    bool isTerminated(const RunningApplication &application) const override;
    bool openURL(const QUrl &url) override;
    // xdg-open as a watched child (desktop_file_opener.h): its non-zero exit is a failure.
    void openFile(const QUrl &url, QObject *context, std::function<void(const QString &failure)> done) override;

    // The commands to try for a URL, in order, each as program and arguments. A web URL (http,
    // https): each entry of $BROWSER (`browserVariable`: colon-separated commands, words split as
    // a shell would with double quotes; "%s" stands for the URL, otherwise it is the last
    // argument), then xdg-open. Any other URL (a file): xdg-open alone. The first command whose
    // process starts counts.
    static QList<QStringList> openCommands(const QString &browserVariable, const QUrl &url);

    // ".../X.app" when path has the shape ".../X.app/Contents/MacOS/<name>", else empty.
    static QString bundlePathOfExecutable(const QString &path);

private:
    std::optional<RunningApplication> application(qint32 pid, const QString &executablePath) const;
    QList<RunningApplication> applications(const QList<ProcessRecord> &processes) const;
    std::optional<QVariantMap> infoPlist(const QString &bundlePath) const;
    bool signal(const RunningApplication &application, int signal);

    struct CachedInfo {
        foreign_file::Identity identity;  // of the file the values were read from
        std::optional<QVariantMap> info;
    };
    std::shared_ptr<const ExecutableListing> m_listing;
    const QString m_browsers;
    mutable QMutex m_mutex;  // guards m_infoCache
    mutable QHash<QString, CachedInfo> m_infoCache;
};

}  // namespace mornix
