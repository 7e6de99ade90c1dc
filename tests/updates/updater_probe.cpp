// The updater mode as `--desktop-updater` runs it (the same wiring and real ports), with the
// two seams the tests need in place of a person and a crash:
//   --answer install|later   the answer to "A new version of Veltro is available"
//   --kill-at STEP           SIGKILL itself when the update session reaches STEP
//   --transfer-deadline MS   every transfer ends after MS milliseconds
// Every step is printed to standard error as "step NAME".
#include "app/arguments.h"
#include "app/desktop_updater_wiring.h"
#include "app/process_environment.h"
#include "platform/linux/bundle/app_bundle.h"
#include "platform/linux/linux_ports.h"
#include "platform/linux/modules/platform_modules.h"
#include "support/config.h"

#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace mornix {

namespace {

class AnsweringPrompt final : public UpdatePrompt {
public:
    explicit AnsweringPrompt(bool install)
        : m_install(install)
    {
    }
    QCoro::Task<bool> askToInstall(UpdateOffer offer) override
    {
        std::fprintf(stderr, "asked %s\n", offer.displayVersion.toUtf8().constData());
        co_return m_install;
    }

private:
    bool m_install;
};

QString valueAfter(const Arguments &arguments, const QString &flag)
{
    const qsizetype at = arguments.indexOf(flag);
    return at >= 0 ? arguments.values().value(at + 1) : QString();
}

}  // namespace

}  // namespace mornix

using namespace mornix;

int main(int argc, char **argv)
{
    Config config = Config::defaults();
    config.environment = readProcessEnvironment();
    setLibraryEnvironment();
    QCoreApplication app(argc, argv);
    const Arguments arguments = Arguments::fromMain(argc, argv);
    const char *argv0 = argc > 0 ? argv[0] : nullptr;
    const auto modules =
        PlatformModules::forBuild(AppBundle::forRunningExecutable(argv0).bundlePath(), config, nullptr);
    const Ports ports = makeLinuxPorts(argv0, config, modules);
    const QString killAt = valueAfter(arguments, u"--kill-at"_s);

    DesktopUpdaterSeams seams;
    seams.prompt = std::make_shared<AnsweringPrompt>(valueAfter(arguments, u"--answer"_s) == "install"_L1);
    seams.transferDeadlineMs = valueAfter(arguments, u"--transfer-deadline"_s).toLongLong();
    seams.stepHook = [killAt](const QString &step) {
        std::fprintf(stderr, "step %s\n", step.toUtf8().constData());
        std::fflush(stderr);
        if (step == killAt)
            std::raise(SIGKILL);
    };
    std::unique_ptr<DesktopUpdater> updater = makeDesktopUpdater(
        arguments, ports, config, modules, [] { QCoreApplication::quit(); }, seams);
    QTimer::singleShot(0, updater.get(), [&updater] { updater->startDesktopUpdater(); });
    return app.exec();
}
