#include "secret_service_fixture.h"

#include "platform/linux/keychain/secret_service_client.h"
#include "support/bundle_modules.h"
#include "support/process_runner.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QStandardPaths>
#include <QThread>

namespace mornix {

SecretServiceFixture::SecretServiceFixture()
{
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
        m_error = QStringLiteral("no session bus (run inside dbus-run-session)");
        return;
    }
    const QString runtime = QDir::tempPath() + QStringLiteral("/runtime");
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    m_daemon.setProcessEnvironment(env);
    m_daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_daemon.start(QStringLiteral("gnome-keyring-daemon"), {QStringLiteral("--foreground"), QStringLiteral("--unlock"),
                                                            QStringLiteral("--components=secrets")});
    if (!m_daemon.waitForStarted(10000)) {
        m_error = m_daemon.errorString();
        return;
    }
    m_daemon.write("test-password");
    m_daemon.waitForBytesWritten(5000);
    m_daemon.closeWriteChannel();
    const secret_service::Client secretService(buildBundleModules());
    const QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired()) {
        if (secretService.running()) {
            m_running = true;
            return;
        }
        QThread::msleep(50);
    }
    m_error = QStringLiteral("gnome-keyring-daemon did not appear on the session bus");
}

SecretServiceFixture::~SecretServiceFixture()
{
    stopProcess(m_daemon);
}

}  // namespace mornix
