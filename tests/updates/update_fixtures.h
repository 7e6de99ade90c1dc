#pragma once

#include "platform/linux/updater/appcast_updater.h"
#include "platform/system_log.h"
#include "support/dev_service.h"
#include "support/process_runner.h"
#include "support/signed_fixtures.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

namespace mornix {

// Fixtures of the updater tests: the companion application "Veltro Desktop.app" (the sleeper
// as its executable, an Info.plist with the updater keys, signed with a dev team), release
// archives of it, and the reference service on a port of its own serving an appcast.
namespace update_fixtures {

inline const QString kDesktopIdentifier = QStringLiteral("ai.veltro.desktop");
inline const QString kDesktopName = QStringLiteral("Veltro Desktop");

struct HostOptions {
    QString version = QStringLiteral("1.0");
    QString feedURL;    // SUFeedURL; omitted when empty
    QString publicKey;  // SUPublicEDKey; omitted when empty
    QString identifier = kDesktopIdentifier;
    QString team = fixtures::kOwnTeam;  // empty: unsigned
    // A program to place at Contents/Helpers/Mornix/VeltroMornix.app/Contents/MacOS/VeltroMornix
    // (with the built agent's Info.plist), signed by helperTeam (empty: unsigned) before the host
    // is signed. Empty: no helper.
    QString helperExecutable;
    QString helperTeam = fixtures::kOwnTeam;
    // The build's archive module, which the updater unpacks with, in the helper bundle (sealed
    // with it); false: none.
    bool archiveModule = true;
};

// Creates DIRECTORY/Veltro Desktop.app; returns its path or empty on failure.
QString makeDesktopBundle(const QString &directory, const HostOptions &options);
QString helperExecutablePath(const QString &desktopBundle);
QString desktopExecutablePath(const QString &desktopBundle);

// An archive of a freshly built Veltro Desktop.app, named "Veltro-Desktop-VERSION.FORMAT":
// a tar, tar.gz or tar.xz made by the system's tar, or a zip made by python's zipfile (modes
// and symbolic links kept). Empty on failure.
QString makeReleaseArchive(const QString &directory, const HostOptions &options,
                           const QString &format = QStringLiteral("tar"));

// CFBundleVersion of a bundle's Info.plist, or empty.
QString bundleVersion(const QString &bundle);
// The bundle's static code signature is valid under the dev anchors (checked by the signer tool).
bool signatureValid(const QString &bundle);

// The answer to "install?", and the offers it was asked about.
class ScriptedPrompt : public UpdatePrompt {
public:
    bool answer = true;
    QList<UpdateOffer> offers;
    QCoro::Task<bool> askToInstall(UpdateOffer offer) override
    {
        offers.append(offer);
        co_return answer;
    }
};

// The appcast updater of the installed Veltro Desktop `bundle` on `feedURL` and `key` (Base64),
// with the real bundle reader and code signing, started; its steps are appended to `steps`.
// nullptr when it does not start.
std::unique_ptr<AppcastUpdater> startUpdater(const QString &bundle, const QString &feedURL, const QString &key,
                                             std::shared_ptr<SystemLog> log, std::shared_ptr<UpdatePrompt> prompt,
                                             QStringList *steps, TransferLimits limits = {});
// One check to its end: its outcome, or Outcome::none when it did not start or end in time.
AppcastUpdater::Outcome checkOnce(AppcastUpdater &updater);

// veltro-devservice on localhost with an ephemeral port and a private state directory, with
// its release feed.
class ReleaseService : public DevService {
public:
    ReleaseService()
        : DevService(Port::ephemeral, QStringLiteral("localhost"))
    {
    }
    QString feedURL() const { return baseURL() + QStringLiteral("/appcast.xml"); }
    QString publicKey() const;  // Base64 of the raw Ed25519 key
    bool publish(const QString &version, const QString &archive, const QStringList &extra = {}) const;
};

}  // namespace update_fixtures

}  // namespace mornix
