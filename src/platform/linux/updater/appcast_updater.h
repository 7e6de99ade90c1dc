#pragma once

#include "platform/bundle_reader.h"
#include "platform/code_signing.h"
#include "platform/system_log.h"
#include "platform/updater.h"
#include "platform/linux/updater/appcast.h"
#include "platform/linux/updater/bundle_installer.h"
#include "platform/linux/updater/update_fetcher.h"

#include <QObject>
#include <QPointer>

#include <memory>

namespace mornix {

// The Updater of this platform: an appcast over HTTPS, archives signed with Ed25519
// (checked against the host's public key before anything is unpacked), no downgrades, the
// user asked before installing, and an atomic swap of the bundle (BundleInstaller).
//
// One check: fetch the feed; take its newest item; when that version is not newer than the
// installed bundle's CFBundleVersion, stop. Otherwise ask; on Install the session begins:
// download into the staging directory (exactly the enclosure's length), verify the signature
// over the downloaded file, unpack, require the unpacked bundle to carry the host's
// identifier, exactly the offered version and a valid code signature of the host's team,
// then swap it into place. Each outcome is logged. Every transfer is bounded in size and time
// (UpdateFetcher), and the staging directory is gone when a session ends, whatever the outcome;
// one that a killed process left is removed by the next start().
// Thread: main thread; the disk work of an installation runs on a worker thread.
class AppcastUpdater final : public QObject, public Updater {
    Q_OBJECT
public:
    struct Dependencies {
        std::shared_ptr<SystemLog> systemLog;
        std::shared_ptr<BundleReader> bundleReader;
        std::shared_ptr<CodeSigning> codeSigning;
        std::shared_ptr<UpdatePrompt> prompt;
        QByteArray extraTLSAnchorsPEM;
        // Loads the archive module when a verified archive is unpacked (null: installing fails).
        std::shared_ptr<PlatformModules> modules;
        BundleInstaller::StepHook stepHook;  // tests only: called at each step of a session
        TransferLimits transferLimits;
    };

    AppcastUpdater(UpdaterHost host, Dependencies dependencies, QObject *parent = nullptr);
    ~AppcastUpdater() override;

    bool start(QString *error) override;
    bool canCheckForUpdates() const override { return m_started && !m_checking; }
    bool sessionInProgress() const override { return m_session; }
    void checkForUpdates() override;

    // How the last check ended (tests and the benchmark).
    enum class Outcome { none, failed, upToDate, postponed, installed, refused };
    Outcome lastOutcome() const { return m_lastOutcome; }

Q_SIGNALS:
    void checkFinished(AppcastUpdater::Outcome outcome);

private:
    QCoro::Task<void> runCheck();
    QCoro::Task<Outcome> check();
    QCoro::Task<Outcome> install(AppcastItem item);
    void log(SystemLog::Level level, const QString &message) const;
    // Removes the staging directory and what is in it; a failure is logged.
    void removeStaging();

    UpdaterHost m_host;
    Dependencies m_deps;
    // Shared with the disk work of a session, which may outlive this object.
    std::shared_ptr<BundleInstaller> m_installer;
    UpdateFetcher *m_fetcher;
    bool m_started = false;
    bool m_checking = false;
    bool m_session = false;
    bool m_diskWorkRunning = false;
    Outcome m_lastOutcome = Outcome::none;
};

}  // namespace mornix
