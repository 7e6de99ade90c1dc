// Logout failures reach the interface as readable sentences, never as an error's debug name.
#include "api/api_error.h"
#include "api/pinned_session.h"
#include "app/bridge_service.h"
#include "app/device_removal.h"

#include <QCoroTask>
#include <QTest>

#include <functional>
#include <stdexcept>

Q_DECLARE_METATYPE(std::function<void()>)

namespace {

class ThrowingService final : public BridgeService {
public:
    std::function<void()> fail;
    QCoro::Task<BridgeRegistration> registerDevice(QString, QString, QString, QString) override
    {
        throw std::logic_error("not used");
    }
    QCoro::Task<void> logoutDevice(DeviceCredentials, DeviceLogoutRequestPayload) override
    {
        fail();
        co_return;
    }
};

// The text a failed logout carries, or "logged out" / "already gone".
QCoro::Task<void> logoutText(std::shared_ptr<DeviceRemoval> removal, QString *text)
{
    try {
        const DeviceCredentials credentials;
        const DeviceLogoutRequestPayload request;
        const DeviceDisconnector::LogoutOutcome outcome = co_await removal->logout(credentials, request);
        *text = outcome == DeviceDisconnector::LogoutOutcome::alreadyGone ? QStringLiteral("already gone")
                                                                           : QStringLiteral("logged out");
    } catch (const std::exception &error) {
        *text = QString::fromUtf8(error.what());
    }
}

}  // namespace

class DeviceRemovalTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void logoutFailuresAreReadable_data();
    void logoutFailuresAreReadable();
};

void DeviceRemovalTest::logoutFailuresAreReadable_data()
{
    QTest::addColumn<std::function<void()>>("fail");
    QTest::addColumn<QString>("text");
    QTest::newRow("server error") << std::function<void()>([] { throw APIError::serverError(500, QStringLiteral("boom")); })
                                  << QStringLiteral("The service answered with HTTP status 500.");
    QTest::newRow("disallowed host")
        << std::function<void()>([] { throw PinnedSessionError(PinnedSessionError::Kind::disallowedHost); })
        << QStringLiteral("The service address is not one of the allowed hosts.");
    QTest::newRow("insecure scheme")
        << std::function<void()>([] { throw PinnedSessionError(PinnedSessionError::Kind::insecureScheme); })
        << QStringLiteral("The service address does not use HTTPS.");
    QTest::newRow("device not found") << std::function<void()>([] { throw DeviceNotFound(); })
                                      << QStringLiteral("already gone");
    QTest::newRow("success") << std::function<void()>([] {}) << QStringLiteral("logged out");
}

void DeviceRemovalTest::logoutFailuresAreReadable()
{
    QFETCH(std::function<void()>, fail);
    QFETCH(QString, text);
    auto service = std::make_shared<ThrowingService>();
    service->fail = fail;
    auto removal = std::make_shared<DeviceRemoval>(nullptr, nullptr, service);
    QString actual;
    logoutText(removal, &actual);
    QTRY_VERIFY(!actual.isEmpty());
    QCOMPARE(actual, text);
    QVERIFY(!actual.contains(QLatin1String("serverError")) && !actual.contains(QLatin1String("disallowedHost")));
}

QTEST_GUILESS_MAIN(DeviceRemovalTest)
#include "tst_device_removal.moc"
