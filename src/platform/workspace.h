#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

namespace mornix {

// A running desktop application: a process that runs the main executable of an application
// bundle ("X.app/Contents/MacOS/<exe>" with a readable "X.app/Contents/Info.plist").
struct RunningApplication {
    qint32 pid = 0;
    std::optional<QString> bundleIdentifier;  // CFBundleIdentifier as stored
    std::optional<double> launchDate;         // seconds since 1970
    QString bundlePath;                       // ".../X.app"
    QString executablePath;
    QString localizedName;    // CFBundleDisplayName, CFBundleName, or the bundle's name
    quint64 launchToken = 0;  // platform identity of this launch (opaque)
};

// Running applications and the operations on them. Thread: any.
class Workspace {
public:
    virtual ~Workspace() = default;

    // All running applications in a stable order (ascending pid).
    virtual QList<RunningApplication> runningApplications() const = 0;
    virtual std::optional<RunningApplication> runningApplication(qint32 pid) const = 0;
    // The running applications whose bundle identifier equals the given one exactly.
    virtual QList<RunningApplication> runningApplications(const QString &bundleIdentifier) const = 0;

    // Graceful quit request; true when it was delivered. Never reaches a process that took over
    // the pid after the application ended.
    virtual bool terminate(const RunningApplication &application) = 0;
    // Forced stop; true when it was delivered.
    virtual bool forceTerminate(const RunningApplication &application) = 0;
    // True once this launch of the application no longer runs.
    virtual bool isTerminated(const RunningApplication &application) const = 0;

    // Opens a URL (a web page, or a file:// URL) with the user's browser or default handler;
    // returns at once. True when a handler could be asked (the request was handed over); this
    // says nothing about what the handler then did with it.
    virtual bool openURL(const QUrl &url) = 0;

    // Opens a local file (a file:// URL) with the user's default application for its type and
    // says whether that worked: `done` runs once on the main thread while `context` exists, with
    // an empty text when the file was handed over, else why it could not be opened (for the
    // user). Thread: main thread. This default can only tell whether a handler was started.
    virtual void openFile(const QUrl &url, QObject *context, std::function<void(const QString &failure)> done)
    {
        Q_UNUSED(context);
        done(openURL(url) ? QString() : QStringLiteral("No application could be started to open the file."));
    }
};

}  // namespace mornix
