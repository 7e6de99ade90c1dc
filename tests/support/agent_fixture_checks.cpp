#include "agent_fixture_checks.h"

#include "process_runner.h"

namespace mornix {

namespace agent_checks {

QString applicationLaunchIdentity(qint32 pid)
{
    const ProcessResult python =
        runPython(QStringLiteral("import os,sys\n"
                                 "btime=[int(l.split()[1]) for l in open('/proc/stat') if l.startswith('btime ')][0]\n"
                                 "start=int(open('/proc/%1/stat').read().rsplit(')',1)[1].split()[19])\n"
                                 "hz=os.sysconf('SC_CLK_TCK')\n"
                                 "print(repr((btime*hz+start)/hz))\n")
                      .arg(pid));
    return QString::fromUtf8(python.standardOutput).trimmed();
}

QString processLaunchIdentity(qint32 pid)
{
    const ProcessResult ps = runProcess(QStringLiteral("/bin/ps"), {QStringLiteral("-p"), QString::number(pid),
                                                                    QStringLiteral("-o"), QStringLiteral("lstart=")});
    return QString::fromUtf8(ps.standardOutput).simplified();
}

QString instanceID(const QString &idText)
{
    const ProcessResult python = runPython(
        QStringLiteral("import hashlib,sys\nprint('local_'+hashlib.sha256(sys.stdin.buffer.read()).hexdigest())\n"), {},
        idText.toUtf8());
    return QString::fromUtf8(python.standardOutput).trimmed();
}

}  // namespace agent_checks

}  // namespace mornix
