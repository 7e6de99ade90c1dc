#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace mornix {

class Bundle;
class SystemLog;

// Relaunch of a raw executable (started from a build directory, outside any application
// bundle) from a built copy of "VeltroMornix.app". Thread: main thread, during launch.
class RuntimeBootstrap {
public:
    // Starts the application bundle at the given path; false with `error` filled on failure.
    using OpenApplication = std::function<bool(const QString &bundlePath, QString *error)>;

    RuntimeBootstrap(const Bundle &bundle, QStringList arguments, SystemLog &log, OpenApplication open,
                     QStringList searchRoots = defaultSearchRoots());

    // True when a bundled copy was asked to open; the caller then terminates this process.
    bool relaunchBundledAppIfNeeded();

    // The bundle to open for a raw executable at `executablePath`: a sibling
    // "VeltroMornix.app" with its executable, else the newest such bundle under the search roots.
    std::optional<QString> locateBundledApp(const QString &executablePath) const;

    // The user's "Library/Developer/Xcode/DerivedData" build-output root.
    static QStringList defaultSearchRoots();

    // Starts "<bundle>/Contents/MacOS/VeltroMornix" as a detached process without arguments.
    static bool startBundleExecutable(const QString &bundlePath, QString *error);

private:
    const Bundle &m_bundle;
    QStringList m_arguments;
    SystemLog &m_log;
    OpenApplication m_open;
    QStringList m_searchRoots;
};

}  // namespace mornix
