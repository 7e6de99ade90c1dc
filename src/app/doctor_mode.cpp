#include "app/doctor_mode.h"

#include "app/async_mode.h"
#include "app/cli_output.h"
#include "app/doctor_checks.h"
#include "app/doctor_keychain.h"
#include "app/doctor_service.h"
#include "platform/linux/modules/platform_modules.h"
#include "platform/linux/tpm/tpm_hardware_key.h"
#include "platform/posix_files.h"
#include "support/blocking_call.h"

#include <QCoro/QCoroSignal>
#include <QDir>
#include <QFutureWatcher>
#include <QTimer>

namespace mornix {

namespace {

using namespace std::chrono_literals;

// The blocking local checks each (keychain over D-Bus, the TPM, hashing the bundle), and the
// one network exchange. Together they keep a report against a dead service under 8 s.
constexpr std::chrono::milliseconds kLocalBound = 3000ms;
constexpr std::chrono::milliseconds kServiceBound = 3000ms;

struct DoctorRun {
    Arguments arguments;
    Ports ports;
    Config config;
};

struct LocalFindings {
    DoctorCheck build;
    DoctorCheck journal;
    DoctorCheck agent;
    doctor::ClientFindings clients;
};

// The future's result once it is ready, or nullopt when `bound` passed first (the call goes on
// on its own thread and its result is dropped).
template <typename T>
QCoro::Task<std::optional<T>> resultWithin(QFuture<T> future, std::chrono::milliseconds bound)
{
    if (!future.isFinished()) {
        QFutureWatcher<T> watcher;
        watcher.setFuture(future);
        if (!future.isFinished())
            co_await qCoro(&watcher, &QFutureWatcherBase::finished, bound);
    }
    if (!future.isFinished())
        co_return std::nullopt;
    co_return future.result();
}

DoctorCheck unanswered(const QString &name, const QString &what)
{
    return DoctorCheck::problem(name,
                                QStringLiteral("%1 did not answer within %2 ms").arg(what).arg(kLocalBound.count()));
}

QCoro::Task<int> runDoctor(std::shared_ptr<DoctorRun> run)
{
    const Ports &ports = run->ports;
    const QString dataDirectory = posix::dataDirectoryPath();
    // A loader of our own: the ports' keychain is replaced by a read-only view below, and the
    // facilities are loaded (and reported) here, not as a side effect of a keychain call.
    const auto modules = PlatformModules::forBuild(ports.bundle->bundlePath(), run->config, nullptr);

    auto identityWork = [modules, dataDirectory, ports, environment = run->config.environment]() {
        const DoctorKeychain keychain = openDoctorKeychain(modules, dataDirectory, environment);
        std::shared_ptr<HardwareKey> hardwareKey;
        if (keychain.keychain)
            hardwareKey = std::make_shared<TpmHardwareKey>(keychain.keychain, modules, environment.tpmTcti);
        return doctor::checkIdentity(keychain, hardwareKey, ports.hardwareIdentity, ports.postureProbes);
    };
    QFuture<doctor::IdentityFindings> identityFuture = startBlockingCall(std::move(identityWork));

    auto localWork = [ports, dataDirectory, argument0 = run->arguments.argument0()]() {
        LocalFindings local;
        local.build = doctor::checkBuild(*ports.bundle, *ports.codeSigning, argument0);
        const QString base = dataDirectory.isEmpty() ? QString() : QDir(dataDirectory).absolutePath();
        local.journal = base.isEmpty() ? DoctorCheck::problem(QStringLiteral("journal"),
                                                              QStringLiteral("the user has no data directory"))
                                       : doctor::checkJournal(base + QStringLiteral("/Commands"));
        local.agent = base.isEmpty() ? DoctorCheck::pass(QStringLiteral("agent"), QStringLiteral("not running"))
                                     : doctor::checkRunningAgent(base + QStringLiteral("/runtime.lock"));
        local.clients = doctor::checkClients(ports);
        return local;
    };
    QFuture<LocalFindings> localFuture = startBlockingCall(std::move(localWork));

    // On this thread meanwhile: the modules (the desktop one must load here) and the bus.
    const QList<DoctorCheck> moduleChecks = doctor::checkModules(modules);
    const DoctorCheck desktop = doctor::checkDesktop();

    const std::optional<doctor::IdentityFindings> identity = co_await resultWithin(identityFuture, kLocalBound);
    const std::optional<LocalFindings> local = co_await resultWithin(localFuture, kLocalBound);

    std::optional<DeviceCredentials> credentials = identity ? identity->credentials : std::nullopt;
    QList<AgentInstanceReport> running = local ? local->clients.reports : QList<AgentInstanceReport>();
    const DoctorCheck service = co_await doctor::checkService(run->config, credentials, running, kServiceBound);
    // One more turn of the event loop: the session is released there, while the loop runs.
    QTimer settle;
    settle.setSingleShot(true);
    settle.start(10);
    co_await qCoro(&settle, &QTimer::timeout);

    QList<DoctorCheck> checks;
    checks << (local ? local->build : unanswered(QStringLiteral("build"), QStringLiteral("the signature check")));
    checks << moduleChecks;
    if (identity)
        checks << identity->checks;
    else
        checks << unanswered(QStringLiteral("keychain"), QStringLiteral("the keychain"));
    checks << service;
    if (local)
        checks << local->journal << local->agent;
    else
        checks << unanswered(QStringLiteral("journal"), QStringLiteral("the disk"))
               << unanswered(QStringLiteral("agent"), QStringLiteral("the disk"));
    checks << desktop;
    checks << (local ? local->clients.check
                     : unanswered(QStringLiteral("clients"), QStringLiteral("the process scan")));

    if (run->arguments.has(QStringLiteral("--json")))
        cli::writeStdoutLine(doctorReportJSON(checks));
    else
        cli::writeStdoutRaw(doctorReportText(checks));
    co_return doctorExitStatus(checks);
}

}  // namespace

std::optional<int> runDoctorIfRequested(const Arguments &arguments, const Ports &ports, const Config &config, int &argc,
                                        char **argv)
{
    if (!arguments.has(QStringLiteral("--doctor")))
        return std::nullopt;
    auto run = std::make_shared<DoctorRun>(DoctorRun{arguments, ports, config});
    return runAsyncMode(argc, argv, [run]() -> QCoro::Task<int> { co_return co_await runDoctor(run); });
}

}  // namespace mornix
