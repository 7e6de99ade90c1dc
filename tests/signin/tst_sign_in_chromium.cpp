// The terminal sign-in (--sign-in) as a user meets it: the agent opens the authorization URL in
// a real browser, headless Chromium (tests/signin/chromium-browser as $BROWSER, driven over the
// DevTools protocol), which trusts the reference service's dev CA through a private NSS database
// only. The page the browser ends on is read back and kept as a screenshot under the build
// directory (chromium-sign-in/<row>.png).
#include "identity/keychain_store.h"
#include "platform/linux/notifications/dbus_distributed_notifications.h"
#include "platform/linux/linux_ports.h"
#include "support/agent_process.h"
#include "support/bundle_modules.h"
#include "support/config.h"
#include "support/dev_service.h"
#include "support/process_runner.h"
#include "support/temporary_home.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTest>
#include <QUrlQuery>

using namespace Qt::StringLiterals;

namespace mornix {

class SignInChromiumTest : public QObject {
    Q_OBJECT

    TemporaryHome m_home;
    DevService m_service;
    Ports m_ports;
    std::shared_ptr<KeychainStore> m_keychain;
    QString m_shots = QStringLiteral(MORNIX_BINARY_DIR "/chromium-sign-in");

    static QByteArray readFile(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(u"chromium"_s).isEmpty()
            || QStandardPaths::findExecutable(u"certutil"_s).isEmpty())
            QFAIL("chromium and certutil (Debian: chromium, libnss3-tools; see scripts/install-deps) are needed");
        QVERIFY(m_home.isValid());
        // The file store here and in the agents this test starts (they inherit the environment).
        qputenv("VELTRO_KEYCHAIN", "file");
        // The dev CA is trusted by this home's NSS database, and by nothing else.
        const QString nssdb = m_home.path() + u"/.pki/nssdb"_s;
        QVERIFY(QDir().mkpath(nssdb));
        const ProcessResult created =
            runProcess(u"certutil"_s, {u"-N"_s, u"-d"_s, u"sql:"_s + nssdb, u"--empty-password"_s});
        QVERIFY2(created.exitCode == 0, created.standardError.constData());
        const ProcessResult added =
            runProcess(u"certutil"_s, {u"-d"_s, u"sql:"_s + nssdb, u"-A"_s, u"-t"_s, u"C,,"_s, u"-n"_s, u"dev"_s,
                                       u"-i"_s, QStringLiteral(MORNIX_DEV_PKI_DIR "/tls-ca.pem")});
        QVERIFY2(added.exitCode == 0, added.standardError.constData());
        QVERIFY(QDir().mkpath(m_shots));
        QVERIFY(m_service.start());
        Config config = Config::defaults();
        config.environment.keychainBackend = "file";
        m_ports = makeLinuxPorts(MORNIX_EXECUTABLE, config, buildBundleModules());
        m_keychain = std::make_shared<KeychainStore>(m_ports.keychain);
    }

    void init()
    {
        m_keychain->clearCredentials();
        m_service.admin({u"fault"_s, u"clear"_s});
    }

    void signInThroughChromium_data()
    {
        QTest::addColumn<QStringList>("fault");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("outcome");  // the last status line; "registered " is followed by the id
        QTest::addColumn<QString>("shown");    // heading and message of the page the browser shows
        const QString tryAgain = u" You can close this tab and try again from the desktop app."_s;
        QTest::newRow("registered") << QStringList() << 0 << u"registered "_s
                                    << u"Signed in to Veltro\n\nVeltro sign-in completed. You can close this tab and "
                                       u"return to the desktop app."_s;
        QTest::newRow("access denied")
            << QStringList{u"authorize"_s, u"--oauth-error"_s, u"access_denied"_s} << 1
            << u"oauth provider error: access_denied: fault injected by veltro-devservice admin"_s
            << u"Veltro sign-in failed\n\nThe sign-in provider reported an error (access_denied: fault injected by "
               u"veltro-devservice admin). This computer was not registered."_s
                   + tryAgain;
        QTest::newRow("registration 500")
            << QStringList{u"register"_s, u"--status"_s, u"500"_s, u"--message"_s, u"database unavailable"_s} << 1
            << u"server 500 at registering device: {\"error\":\"injected_fault\",\"message\":\"database unavailable\"}"_s
            << u"Veltro sign-in failed\n\nThis computer could not be registered (server error during registering "
               u"device)."_s
                   + tryAgain;
    }

    void signInThroughChromium()
    {
        QFETCH(QStringList, fault);
        QFETCH(int, exitCode);
        QFETCH(QString, outcome);
        QFETCH(QString, shown);
        if (!fault.isEmpty())
            QCOMPARE(m_service.admin(QStringList{u"fault"_s, u"set"_s} + fault).exitCode, 0);
        DBusDistributedNotifications notifications;
        int updates = 0;
        QVERIFY(notifications.observe(u"ai.veltro.mornix.credentials-updated"_s, this, [&] { ++updates; }));

        const QString out =
            m_home.path() + u"/browser-"_s + QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-');
        QVERIFY(QDir().mkpath(out));
        QProcessEnvironment env = headlessEnvironment(m_home.environment());
        env.insert(u"VELTRO_KEYCHAIN"_s, u"file"_s);
        env.insert(u"BROWSER"_s, QStringLiteral(MORNIX_SOURCE_DIR "/tests/signin/chromium-browser"));
        env.insert(u"CHROMIUM_BROWSER_OUT"_s, out);
        const ProcessResult agent =
            runProcess(QStringLiteral(MORNIX_EXECUTABLE), {u"--sign-in"_s, u"github"_s}, {}, env, 60000);
        // The browser is the agent's detached child: it ends on its own once its page is read.
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(out + u"/done"_s) || QFile::exists(out + u"/failed"_s); },
                                50000));
        QVERIFY2(QFile::exists(out + u"/done"_s), readFile(out + u"/failed"_s).constData());
        QFile::remove(m_shots + u'/' + QFileInfo(out).fileName() + u".png"_s);
        QVERIFY(QFile::copy(out + u"/page.png"_s, m_shots + u'/' + QFileInfo(out).fileName() + u".png"_s));

        QCOMPARE(agent.exitCode, exitCode);
        const QList<QByteArray> lines = agent.standardError.split('\n');
        const QByteArray expectedLast =
            (outcome == "registered "_L1 ? outcome + m_service.deviceID() : outcome).toUtf8();
        QVERIFY2(lines.size() >= 2 && lines.at(lines.size() - 2) == expectedLast, agent.standardError.constData());

        // What the browser shows: the loopback callback's page, and nothing else.
        const QString page = QString::fromUtf8(readFile(out + u"/page.txt"_s));
        const QString address = page.section(u'\n', 0, 0);
        QVERIFY2(address.startsWith("http://127.0.0.1:53682/oauth/callback?"_L1), qPrintable(page));
        QCOMPARE(page.section(u'\n', 1).trimmed(), shown);
        QCOMPARE(QUrlQuery(QUrl(address)).queryItemValue(u"state"_s),
                 QUrlQuery(QUrl(QString::fromUtf8(agent.standardOutput.trimmed()))).queryItemValue(u"state"_s));

        const std::optional<DeviceCredentials> stored = m_keychain->loadCredentials();
        if (exitCode == 0) {
            QCOMPARE(lines, (QList<QByteArray>{"oauth: opening sign-in", "oauth: exchanging token",
                                               "oauth: registering device", expectedLast, ""}));
            const QUrl printed(QString::fromUtf8(agent.standardOutput.trimmed()));
            QCOMPARE(printed.toString(QUrl::RemoveQuery), u"https://localhost:8443/authorize/external"_s);
            QCOMPARE(QUrlQuery(printed).queryItemValue(u"provider"_s), u"github"_s);
            QTRY_COMPARE(updates, 1);
            QVERIFY(stored);
            QCOMPARE(stored->deviceID, m_service.deviceID());
            QCOMPARE(stored->authKind, std::optional<QString>(u"oauth-gateway"_s));
        } else {
            QVERIFY(!stored);
            QCOMPARE(updates, 0);
        }
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(SignInChromiumTest)
#include "tst_sign_in_chromium.moc"
