#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <QCoroTask>

#include <functional>
#include <memory>

namespace mornix {

// The application an updater keeps up to date, as its configuration was validated.
struct UpdaterHost {
    QString bundlePath;      // ".../X.app", absolute
    QUrl feedURL;            // https with a host
    QByteArray publicEDKey;  // raw Ed25519 public key, exactly 32 bytes
    // What the installed replacement must be signed as (identifier and team of the host).
    QString requiredIdentifier;
    QString requiredTeamIdentifier;
};

// What a feed offers and the installed copy compares against.
struct UpdateOffer {
    QString version;         // the machine-comparable version (CFBundleVersion)
    QString displayVersion;  // the version shown to people (short version string)
    QString currentDisplayVersion;
};

// Asks the user whether to install an offered update now ("Install") or not ("Later").
// Thread: main thread. Resolves true for Install.
class UpdatePrompt {
public:
    virtual ~UpdatePrompt() = default;
    virtual QCoro::Task<bool> askToInstall(UpdateOffer offer) = 0;
};

// Checks for, downloads and installs updates of one host application. Asynchronous work runs
// on the main thread's event loop; the calls below never block.
// Thread: main thread.
class Updater {
public:
    virtual ~Updater() = default;

    // Readies the updater (recovers what an interrupted install left behind). False, with a
    // reason in `error`, when it cannot work for this host.
    virtual bool start(QString *error) = 0;
    // True once started and while no check or update session runs.
    virtual bool canCheckForUpdates() const = 0;
    // True from the start of a download until the installed bundle is in place (or the session
    // failed): the process must not end in that time.
    virtual bool sessionInProgress() const = 0;
    // A user-initiated check: fetches the feed, asks before installing a newer version.
    virtual void checkForUpdates() = 0;
};

using UpdaterFactory = std::function<std::unique_ptr<Updater>(const UpdaterHost &host)>;

}  // namespace mornix
