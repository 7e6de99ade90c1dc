#include "platform/linux/system/systemctl_service_manager.h"

#include <QProcess>
#include <QStandardPaths>

namespace mornix {

bool SystemctlServiceManager::start(const QString &name)
{
    const QString systemctl = QStandardPaths::findExecutable(QStringLiteral("systemctl"));
    if (systemctl.isEmpty())
        return false;
    QProcess process;
    process.setProgram(systemctl);
    process.setArguments({QStringLiteral("--user"), QStringLiteral("start"), name + QStringLiteral(".service")});
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    // Detached: the child is re-parented, so no zombie is left and nobody waits for it.
    return process.startDetached();
}

}  // namespace mornix
