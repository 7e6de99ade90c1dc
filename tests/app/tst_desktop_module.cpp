// The windows live in a module of the bundle that only a windowed start loads: the command-line
// modes and the headless agent never map Qt Gui, Qt Widgets or a platform plugin, and a module
// that is missing or differs from the bundle's seal is refused with a clear message while the
// agent itself still runs. Likewise libsecret, the TSS stack and libxcb live in modules of
// their own: a mode that does not use them (the file keychain, no TPM operation, no display
// check) maps none of them, and libarchive lives in the archive module, which only the updater
// loads, when it unpacks.
#include "support/agent_process.h"
#include "support/process_runner.h"
#include "support/temporary_home.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace mornix {

namespace {

const QStringList kWindowLibraries = {QStringLiteral("libQt6Gui"), QStringLiteral("libQt6Widgets"),
                                      QStringLiteral("libQt6XcbQpa"), QStringLiteral("/platforms/"),
                                      QStringLiteral("libmornix_desktop")};
const QString kModule = QStringLiteral("Contents/PlugIns/libmornix_desktop.so");
// The system libraries behind the Secret Service, TPM and X display modules.
const QStringList kSystemFrontLibraries = {QStringLiteral("libsecret-1"),    QStringLiteral("libgio-2.0"),
                                           QStringLiteral("libgobject-2.0"), QStringLiteral("libtss2-"),
                                           QStringLiteral("libxcb"),         QStringLiteral("libmornix_secret_service"),
                                           QStringLiteral("libmornix_tpm"),  QStringLiteral("libmornix_xdisplay"),
                                           QStringLiteral("libarchive"),     QStringLiteral("libmornix_archive")};
// libarchive, its module, and the libraries only libarchive brings in.
const QStringList kArchiveLibraries = {QStringLiteral("libarchive"), QStringLiteral("libmornix_archive"),
                                       QStringLiteral("libxml2"),    QStringLiteral("libnettle"),
                                       QStringLiteral("libacl"),     QStringLiteral("libbz2")};

// The files a running process maps.
QSet<QString> mappedFiles(qint64 pid)
{
    QFile maps(QStringLiteral("/proc/%1/maps").arg(pid));
    QSet<QString> files;
    if (!maps.open(QIODevice::ReadOnly))
        return files;
    const QList<QByteArray> lines = maps.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const int slash = line.indexOf('/');
        if (slash >= 0)
            files.insert(QString::fromLocal8Bit(line.mid(slash)));
    }
    return files;
}

// The files whose path contains one of `names`, sorted.
QStringList librariesIn(const QSet<QString> &files, const QStringList &names = kWindowLibraries)
{
    QStringList found;
    for (const QString &file : files) {
        if (std::any_of(names.cbegin(), names.cend(), [&file](const QString &name) { return file.contains(name); }))
            found.append(file);
    }
    found.sort();
    return found;
}

// The files the program maps in a command-line mode once it has done its work: its standard
// output is a pipe filled beforehand, so it waits in its first write of the answer with all it
// loaded still mapped; then the pipe is drained and it ends. Empty on failure.
QSet<QString> mappedWhileAnswering(const QString &argument, const QProcessEnvironment &environment)
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return {};
    ::fcntl(out[1], F_SETFL, O_NONBLOCK);
    const QByteArray block(4096, 'x');
    while (::write(out[1], block.constData(), static_cast<size_t>(block.size())) > 0) {
    }
    const bool full = errno == EAGAIN;
    ::fcntl(out[1], F_SETFL, 0);  // the child's writes block

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const QByteArray program = QFile::encodeName(QStringLiteral(MORNIX_EXECUTABLE));
    const QByteArray flag = argument.toUtf8();
    char *argv[] = {const_cast<char *>(program.constData()), const_cast<char *>(flag.constData()), nullptr};
    std::vector<QByteArray> variables;
    for (const QString &variable : environment.toStringList())
        variables.push_back(variable.toLocal8Bit());
    std::vector<char *> envp;
    for (QByteArray &variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    const bool spawned = full && ::posix_spawn(&pid, program.constData(), &actions, nullptr, argv, envp.data()) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);

    QSet<QString> mapped;
    if (spawned) {
        // Blocked in write(1, ...): the system call in progress and its first argument.
        const auto waitingToWrite = [pid] {
            QFile call(QStringLiteral("/proc/%1/syscall").arg(pid));
            return call.open(QIODevice::ReadOnly) && call.readAll().startsWith("1 0x1 ");
        };
        if (QTest::qWaitFor(waitingToWrite, 20000))
            mapped = mappedFiles(pid);
    }
    char drain[65536];
    while (::read(out[0], drain, sizeof drain) > 0) {
    }
    ::close(out[0]);
    if (spawned)
        ::waitpid(pid, nullptr, 0);
    return mapped;
}

// An environment where a windowed start has a display (Qt's offscreen platform).
QProcessEnvironment windowedEnvironment(const TemporaryHome &home)
{
    QProcessEnvironment environment = headlessEnvironment(home.environment());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("VELTRO_KEYCHAIN"), QStringLiteral("file"));
    return environment;
}

}  // namespace

class DesktopModuleTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void commandLineModesLoadNoWindowLibraries_data();
    void commandLineModesLoadNoWindowLibraries();
    void headlessAgentMapsNoWindowLibraries();
    void commandLineModesMapNoArchiveLibraries_data();
    void commandLineModesMapNoArchiveLibraries();
    void windowedStartLoadsTheSealedModule();
    void missingOrModifiedModuleIsRefusedAndTheAgentRuns_data();
    void missingOrModifiedModuleIsRefusedAndTheAgentRuns();
};

void DesktopModuleTest::commandLineModesLoadNoWindowLibraries_data()
{
    QTest::addColumn<QString>("argument");
    QTest::newRow("bridge version") << QStringLiteral("--desktop-bridge-version");
    QTest::newRow("control status") << QStringLiteral("--desktop-control-status");
    QTest::newRow("agent instances") << QStringLiteral("--print-agent-instances");
    QTest::newRow("update notification status") << QStringLiteral("--update-notification-status");
    QTest::newRow("help") << QStringLiteral("--help");
}

void DesktopModuleTest::commandLineModesLoadNoWindowLibraries()
{
    QFETCH(QString, argument);
    TemporaryHome home;
    // A display is offered: the modes must not take it. The dynamic linker lists every object
    // it loads, dlopen included, in its own file.
    QProcessEnvironment environment = windowedEnvironment(home);
    const QString trace = home.path() + QStringLiteral("/loaded");
    environment.insert(QStringLiteral("LD_DEBUG"), QStringLiteral("files"));
    environment.insert(QStringLiteral("LD_DEBUG_OUTPUT"), trace);
    const ProcessResult result = runProcess(QStringLiteral(MORNIX_EXECUTABLE), {argument}, {}, environment);
    QVERIFY2(!result.crashed && !result.timedOut, qPrintable(argument));

    const QStringList traces = QDir(home.path()).entryList({QStringLiteral("loaded.*")}, QDir::Files);
    QVERIFY(!traces.isEmpty());
    QSet<QString> loaded;
    for (const QString &name : traces) {
        QFile file(QDir(home.path()).filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        for (const QByteArray &line : file.readAll().split('\n')) {
            const int at = line.indexOf("file=");
            if (at >= 0)
                loaded.insert(QString::fromLocal8Bit(line.mid(at + 5).split(' ').first()));
        }
    }
    QVERIFY(loaded.contains(QStringLiteral("libQt6Core.so.6")));  // the trace is real
    QCOMPARE(librariesIn(loaded), QStringList());
    QCOMPARE(librariesIn(loaded, kSystemFrontLibraries), QStringList());
}

void DesktopModuleTest::headlessAgentMapsNoWindowLibraries()
{
    TemporaryHome home;
    // A display is offered here too: the managed presentation never takes it.
    AgentProcess agent(windowedEnvironment(home));
    QVERIFY(agent.start({QStringLiteral("--desktop-managed")}));
    QVERIFY(agent.waitForLog(QStringLiteral("app started")));
    const QSet<QString> mapped = mappedFiles(agent.process().processId());
    QVERIFY(!mapped.isEmpty());
    QCOMPARE(librariesIn(mapped), QStringList());
    // With the file keychain and no display check, none of the system fronts either.
    QCOMPARE(librariesIn(mapped, kSystemFrontLibraries), QStringList());
    QCOMPARE(librariesIn(mapped, kArchiveLibraries), QStringList());
}

void DesktopModuleTest::commandLineModesMapNoArchiveLibraries_data()
{
    QTest::addColumn<QString>("argument");
    QTest::newRow("bridge version") << QStringLiteral("--desktop-bridge-version");
    QTest::newRow("control status") << QStringLiteral("--desktop-control-status");
}

// What the running process has mapped when it answers (the dynamic linker's trace aside).
void DesktopModuleTest::commandLineModesMapNoArchiveLibraries()
{
    QFETCH(QString, argument);
    TemporaryHome home;
    const QSet<QString> mapped = mappedWhileAnswering(argument, windowedEnvironment(home));
    QVERIFY(std::any_of(mapped.cbegin(), mapped.cend(),
                        [](const QString &file) { return file.contains(QStringLiteral("libQt6Core")); }));
    QCOMPARE(librariesIn(mapped, kArchiveLibraries), QStringList());
}

void DesktopModuleTest::windowedStartLoadsTheSealedModule()
{
    TemporaryHome home;
    AgentProcess agent(windowedEnvironment(home));
    QVERIFY(agent.start({}));
    QVERIFY(agent.waitForLog(QStringLiteral("app started")));
    const QStringList windows = librariesIn(mappedFiles(agent.process().processId()));
    const QString module =
        QFileInfo(QStringLiteral(MORNIX_EXECUTABLE)).dir().filePath(QStringLiteral("../PlugIns/libmornix_desktop.so"));
    QVERIFY2(windows.contains(QFileInfo(module).canonicalFilePath()), qPrintable(windows.join(QLatin1Char(' '))));
    QVERIFY(std::any_of(windows.cbegin(), windows.cend(),
                        [](const QString &path) { return path.contains(QStringLiteral("libQt6Widgets")); }));
    QVERIFY(!agent.process().readAllStandardError().contains("without menu-bar item"));
}

void DesktopModuleTest::missingOrModifiedModuleIsRefusedAndTheAgentRuns_data()
{
    QTest::addColumn<bool>("remove");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << true << QStringLiteral("missing or not a regular file");
    QTest::newRow("modified") << false << QStringLiteral("modified after the bundle was signed");
}

void DesktopModuleTest::missingOrModifiedModuleIsRefusedAndTheAgentRuns()
{
    QFETCH(bool, remove);
    QFETCH(QString, reason);
    TemporaryHome home;
    // A copy of the signed bundle (its seal stays valid wherever it lies), then the change.
    const QString bundle = QFileInfo(QStringLiteral(MORNIX_EXECUTABLE)).dir().absoluteFilePath(QStringLiteral("../.."));
    const QString copy = home.path() + QStringLiteral("/VeltroMornix.app");
    QCOMPARE(QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), QDir(bundle).canonicalPath(), copy}), 0);
    QFile module(QDir(copy).filePath(kModule));
    if (remove) {
        QVERIFY(module.remove());
    } else {
        QVERIFY(module.open(QIODevice::Append));
        QCOMPARE(module.write("x", 1), qint64(1));
        module.close();
    }

    QProcess agent;
    agent.setProcessEnvironment(windowedEnvironment(home));
    agent.start(QDir(copy).filePath(QStringLiteral("Contents/MacOS/VeltroMornix")), {});
    QVERIFY(agent.waitForStarted());
    QVERIFY(AgentProcess(windowedEnvironment(home)).waitForLog(QStringLiteral("app started"), 20000));
    // Also in the operational log, naming the module and why.
    QVERIFY(AgentProcess(windowedEnvironment(home))
                .waitForLog(QStringLiteral("the desktop module cannot be used: ") + reason));
    const QString errors = QString::fromUtf8(agent.readAllStandardError());
    QVERIFY2(
        errors.contains(
            QStringLiteral("VeltroMornix runs without menu-bar item and windows: the desktop module cannot be used: ")
            + reason),
        qPrintable(errors));
    // Still running, as the headless agent, with nothing of the windows mapped.
    QCOMPARE(agent.state(), QProcess::Running);
    QCOMPARE(librariesIn(mappedFiles(agent.processId())), QStringList());
    agent.terminate();
    QVERIFY(agent.waitForFinished(10000));
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(DesktopModuleTest)
#include "tst_desktop_module.moc"
