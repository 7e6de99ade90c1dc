// The display check that decides whether a start may load its windows: a platform named in
// QT_QPA_PLATFORM is trusted as named (with or without options and fallbacks), a named X or
// Wayland display must answer.
#include "platform/linux/display_probe.h"
#include "support/bundle_modules.h"

#include <QTest>

namespace mornix {

class DisplayProbeTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void platformsAndDisplays_data();
    void platformsAndDisplays();
};

void DisplayProbeTest::platformsAndDisplays_data()
{
    QTest::addColumn<QByteArray>("platform");
    QTest::addColumn<QByteArray>("display");
    QTest::addColumn<bool>("reachable");
    QTest::addColumn<bool>("configured");
    QTest::addColumn<QString>("problem");
    QTest::newRow("offscreen") << QByteArray("offscreen") << QByteArray() << true << true << QString();
    QTest::newRow("offscreen with options") << QByteArray("offscreen:fontengine=freetype") << QByteArray() << true << true << QString();
    QTest::newRow("minimal before a fallback") << QByteArray("minimal;xcb") << QByteArray() << true << true << QString();
    QTest::newRow("nothing named") << QByteArray() << QByteArray() << false << false
                                   << QStringLiteral("no display (DISPLAY and WAYLAND_DISPLAY are not set)");
    QTest::newRow("xcb without a display") << QByteArray("xcb") << QByteArray() << false << true
                                           << QStringLiteral("DISPLAY is not set");
    QTest::newRow("an X display that does not answer") << QByteArray() << QByteArray(":64999") << false << true
                                                       << QStringLiteral("cannot connect to the X display \":64999\"");
}

void DisplayProbeTest::platformsAndDisplays()
{
    QFETCH(QByteArray, platform);
    QFETCH(QByteArray, display);
    QFETCH(bool, reachable);
    QFETCH(bool, configured);
    QFETCH(QString, problem);
    qunsetenv("WAYLAND_DISPLAY");
    if (platform.isEmpty())
        qunsetenv("QT_QPA_PLATFORM");
    else
        qputenv("QT_QPA_PLATFORM", platform);
    if (display.isEmpty())
        qunsetenv("DISPLAY");
    else
        qputenv("DISPLAY", display);
    const DisplayCheck check = checkDisplay(*buildBundleModules());
    QCOMPARE(check.reachable, reachable);
    QCOMPARE(check.configured, configured);
    QCOMPARE(check.problem, problem);
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(DisplayProbeTest)
#include "tst_display_probe.moc"
