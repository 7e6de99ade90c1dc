#include "support/virtual_display.h"

#include "support/process_runner.h"

#include <QRandomGenerator>
#include <QTest>

namespace mornix {

VirtualDisplay::~VirtualDisplay()
{
    stopProcess(m_server, 3000);
}

bool VirtualDisplay::start(const QString &size)
{
    // A random display number, not the lowest free one: a server that is still shutting down
    // unlinks its socket file on exit, and would take away the socket of a new server that
    // reused its number at once (tests run in parallel and start many servers).
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int number = 1000 + int(QRandomGenerator::global()->bounded(30000));
        m_server.start(QStringLiteral("Xvfb"), {QStringLiteral(":%1").arg(number), "-displayfd", "1", "-nolisten",
                                                "tcp", "-screen", "0", size});
        if (!m_server.waitForStarted(5000))
            return false;
        // Xvfb writes the display number once it accepts clients, or exits when the number is taken.
        QByteArray out;
        const bool answered = QTest::qWaitFor(
            [&] {
                out += m_server.readAllStandardOutput();
                return out.contains('\n') || m_server.state() != QProcess::Running;
            },
            10000);
        if (answered && m_server.state() == QProcess::Running && out.trimmed().toInt() == number) {
            m_display = QStringLiteral(":%1").arg(number);
            return true;
        }
        stopProcess(m_server, 3000);
    }
    return false;
}

bool VirtualDisplay::xdotool(const QStringList &arguments, QByteArray *output) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_display);
    const ProcessResult result = runProcess(QStringLiteral("xdotool"), arguments, {}, environment, 15000);
    if (output)
        *output = result.standardOutput;
    return result.exitCode == 0 && !result.crashed;
}

bool VirtualDisplay::hasWindow(const QString &title) const
{
    return xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"), title});
}

}  // namespace mornix
