// One update check of the updater mode against the local reference service (its own port, a
// private state directory): a fresh updater each time, so every check opens its own TLS
// connection, fetches the appcast, parses it and decides. Two cases: the installed copy is
// current (decision: up to date), and a newer release is offered (decision: ask; the scripted
// answer is Later, so nothing is downloaded). The first check of the process is shown apart:
// it includes reading the system's trust store.
//   bench_update_check [RUNS]
#include "platform/linux/updater/appcast_updater.h"
#include "platform/linux/codesign/cms_code_signing.h"
#include "platform/linux/bundle/plist_bundle_reader.h"
#include "support/config.h"
#include "update_fixtures.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>

namespace mornix {

using namespace update_fixtures;

namespace {

class Later final : public UpdatePrompt {
public:
    QCoro::Task<bool> askToInstall(UpdateOffer) override { co_return false; }
};

class NullLog final : public SystemLog {
public:
    void write(Level, const QString &) override {}
};

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const size_t index =
        std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5));
    return values[index];
}

bool measure(const char *label, const QString &bundle, const QString &feed, const QByteArray &key, int runs,
             AppcastUpdater::Outcome expected)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        AppcastUpdater::Dependencies deps;
        deps.systemLog = std::make_shared<NullLog>();
        deps.bundleReader = std::make_shared<PlistBundleReader>();
        deps.codeSigning = std::make_shared<CmsCodeSigning>(Config::defaults().codeSigningAnchorsPEM);
        deps.prompt = std::make_shared<Later>();
        deps.extraTLSAnchorsPEM = Config::defaults().extraTLSAnchorsPEM;
        AppcastUpdater updater(UpdaterHost{bundle, QUrl(feed), key, kDesktopIdentifier, fixtures::kOwnTeam},
                               std::move(deps));
        QString error;
        if (!updater.start(&error)) {
            std::fprintf(stderr, "updater did not start: %s\n", qPrintable(error));
            return false;
        }
        QEventLoop loop;
        QObject::connect(&updater, &AppcastUpdater::checkFinished, &loop, &QEventLoop::quit);
        QElapsedTimer timer;
        timer.start();
        updater.checkForUpdates();
        loop.exec();
        times.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        if (updater.lastOutcome() != expected) {
            std::fprintf(stderr, "%s: unexpected outcome %d\n", label, static_cast<int>(updater.lastOutcome()));
            return false;
        }
    }
    // The first check of a process also reads the system's trust store (once per process).
    const double first = times.front();
    if (times.size() > 1)
        times.erase(times.begin());
    std::printf("%-28s first=%.2f ms  then runs=%zu  median=%.2f ms  p95=%.2f ms  min=%.2f ms\n", label, first,
                times.size(), percentile(times, 0.5), percentile(times, 0.95), percentile(times, 0.0));
    // The machine-readable figure for bench/run-all: the label as a name, against a new TLS connection.
    std::string name = label;
    for (char &c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    }
    std::printf("BENCH update_check.%s.median %.3f ms ref=tls+\n", name.c_str(), percentile(times, 0.5));
    return true;
}

}  // namespace

}  // namespace mornix

using namespace mornix;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    QTemporaryDir dir;
    ReleaseService service;
    if (!dir.isValid() || !service.start()) {
        std::fprintf(stderr, "cannot start the reference service\n");
        return 1;
    }
    const QByteArray key = QByteArray::fromBase64(service.publicKey().toLatin1());
    // A feed of twenty releases, as a real appcast keeps its history.
    HostOptions release;
    release.version = QStringLiteral("2.0");
    const QString archive = makeReleaseArchive(dir.path(), release);
    for (int minor = 0; minor < 20; ++minor) {
        if (!service.publish(QStringLiteral("1.%1").arg(minor), archive))
            return 1;
    }
    HostOptions current;
    QDir().mkpath(dir.filePath(QStringLiteral("current")));
    current.version = QStringLiteral("1.19");
    const QString upToDate = makeDesktopBundle(dir.filePath(QStringLiteral("current")), current);
    HostOptions old;
    QDir().mkpath(dir.filePath(QStringLiteral("old")));
    old.version = QStringLiteral("1.0");
    const QString outdated = makeDesktopBundle(dir.filePath(QStringLiteral("old")), old);
    if (upToDate.isEmpty() || outdated.isEmpty())
        return 1;

    const bool ok =
        measure("check, up to date", upToDate, service.feedURL(), key, runs, AppcastUpdater::Outcome::upToDate)
        && measure("check, newer release offered", outdated, service.feedURL(), key, runs,
                   AppcastUpdater::Outcome::postponed);
    return ok ? 0 : 1;
}
