#include "app/build_label.h"
#include "platform/linux/app_bundle.h"
#include "support/info_plist_writer.h"
#include "support/process_runner.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace mornix {

namespace {

using fixtures::InfoEntries;

// Writes X.app/Contents/{Info.plist,MacOS/exe} with the given version entries and sets the
// executable's modification time with touch(1). Returns the executable path.
QString makeBundle(const QString &root, const InfoEntries &versions, const char *touchDate = "2026-01-05 09:30:12 UTC")
{
    const QString contents = root + QStringLiteral("/X.app/Contents");
    QDir().mkpath(contents + QStringLiteral("/MacOS"));
    if (!fixtures::writeInfoPlist(contents + QStringLiteral("/Info.plist"),
                                  InfoEntries{{QStringLiteral("CFBundleIdentifier"), QStringLiteral("ai.veltro.test")}}
                                      + versions))
        return {};
    const QString exe = contents + QStringLiteral("/MacOS/exe");
    QFile file(exe);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write("binary");
    file.close();
    if (runProcess(QStringLiteral("touch"), {QStringLiteral("-m"), QStringLiteral("-d"), QString::fromLatin1(touchDate), exe})
            .exitCode != 0)
        return {};
    return exe;
}

}  // namespace

class BuildLabelTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void labelFromBundle_data();
    void labelFromBundle();
    void stampWithoutReadableExecutable();
    void argumentZeroWithoutBundleExecutable();
    void builtBundle();
};

void BuildLabelTest::labelFromBundle_data()
{
    QTest::addColumn<QVariant>("shortVersion");  // CFBundleShortVersionString; invalid: absent
    QTest::addColumn<QVariant>("version");       // CFBundleVersion
    QTest::addColumn<QString>("expected");
    QTest::newRow("version and build") << QVariant(QStringLiteral("1.4.2")) << QVariant(QStringLiteral("57"))
                                       << QStringLiteral("1.4.2 (57)+20260105-093012");
    QTest::newRow("no version keys") << QVariant() << QVariant() << QStringLiteral("dev (0)+20260105-093012");
    QTest::newRow("blank values") << QVariant(QStringLiteral(" \n")) << QVariant(QString())
                                  << QStringLiteral("dev (0)+20260105-093012");
    QTest::newRow("values placed as stored") << QVariant(QStringLiteral(" 2.0 ")) << QVariant(QStringLiteral("7\t"))
                                             << QStringLiteral(" 2.0  (7\t)+20260105-093012");
    QTest::newRow("not strings") << QVariant(3) << QVariant(true) << QStringLiteral("dev (0)+20260105-093012");
}

void BuildLabelTest::labelFromBundle()
{
    QFETCH(QVariant, shortVersion);
    QFETCH(QVariant, version);
    QFETCH(QString, expected);
    InfoEntries entries;
    if (shortVersion.isValid())
        entries.append({QStringLiteral("CFBundleShortVersionString"), shortVersion});
    if (version.isValid())
        entries.append({QStringLiteral("CFBundleVersion"), version});
    QTemporaryDir dir;
    const QString exe = makeBundle(dir.path(), entries);
    QVERIFY(!exe.isEmpty());
    QCOMPARE(computeBuildLabel(AppBundle(exe), QStringLiteral("/ignored")), expected);
}

void BuildLabelTest::stampWithoutReadableExecutable()
{
    QTemporaryDir dir;
    const QString exe = makeBundle(dir.path(), {{QStringLiteral("CFBundleShortVersionString"), QStringLiteral("1.0")}});
    QVERIFY(QFile::remove(exe));
    QCOMPARE(computeBuildLabel(AppBundle(exe), exe), QStringLiteral("1.0 (0)+unknown"));
    QCOMPARE(buildStamp(QString()), QStringLiteral("unknown"));
}

void BuildLabelTest::argumentZeroWithoutBundleExecutable()
{
    QTemporaryDir dir;
    const QString program = makeBundle(dir.path(), {}, "1999-12-31 23:59:58 UTC");
    // A bundle that knows no executable: the stamp comes from argument 0.
    QCOMPARE(computeBuildLabel(AppBundle(QString()), program), QStringLiteral("dev (0)+19991231-235958"));
}

void BuildLabelTest::builtBundle()
{
    const QString exe = QStringLiteral(MORNIX_EXECUTABLE);
    const AppBundle bundle(exe);
    // The stamp as date(1) reads the file's modification time.
    const ProcessResult date = runProcess(QStringLiteral("date"), {QStringLiteral("-u"), QStringLiteral("-r"), exe,
                                                                   QStringLiteral("+%Y%m%d-%H%M%S")});
    QCOMPARE(date.exitCode, 0);
    const QString stamp = QString::fromUtf8(date.standardOutput).trimmed();
    const QString label = computeBuildLabel(bundle, exe);
    QCOMPARE(label, bundle.infoValue(QStringLiteral("CFBundleShortVersionString")).toString() + QStringLiteral(" (")
                        + bundle.infoValue(QStringLiteral("CFBundleVersion")).toString() + QStringLiteral(")+") + stamp);
    QVERIFY(QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+ \\(\\d+\\)\\+\\d{8}-\\d{6}$")).match(label).hasMatch());
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(BuildLabelTest)
#include "tst_build_label.moc"
