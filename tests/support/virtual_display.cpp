#include "support/virtual_display.h"

#include "support/process_runner.h"

#include <QTest>

namespace mornix {

VirtualDisplay::~VirtualDisplay()
{
    stopProcess(m_server, 3000);
}

bool VirtualDisplay::start(const QString &size)
{
    m_server.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", size});
    if (!m_server.waitForStarted(5000))
        return false;
    // Xvfb writes the display number it took, once it accepts clients.
    QByteArray out;
    const bool answered = QTest::qWaitFor([&] {
        out += m_server.readAllStandardOutput();
        return out.contains('\n') || m_server.state() != QProcess::Running;
    }, 10000);
    if (!answered)
        return false;
    bool ok = false;
    const int number = out.trimmed().toInt(&ok);
    if (ok)
        m_display = QStringLiteral(":%1").arg(number);
    return ok;
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
