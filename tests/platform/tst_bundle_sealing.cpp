// Sealed bundle signatures and the running-image check of applications.

#include "platform/linux/code_signature.h"
#include "platform/linux/cms_code_signing.h"

#include "support/process_runner.h"
#include "support/signed_fixtures.h"
#include "support/test_files.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

namespace mornix {

using namespace fixtures;

namespace {

bool copyExecutable(const QString &from, const QString &to)
{
    QFile::remove(to);
    return QFile::copy(from, to) && QFile::setPermissions(to, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

ProcessResult signBundle(const QString &bundle)
{
    const QString pki = QStringLiteral(MORNIX_DEV_PKI_DIR);
    return runProcess(codesignToolPath(), {QStringLiteral("--cert"), pki + QStringLiteral("/team-Q6L2SF6YDW.pem"),
                                           QStringLiteral("--key"), pki + QStringLiteral("/team-Q6L2SF6YDW.key"), bundle});
}

}  // namespace

class BundleSealingTest : public QObject {
    Q_OBJECT

private:
    QByteArray m_anchors = readFile(anchorsPath());
    QTemporaryDir m_dir;
    int m_case = 0;

    bool valid(const QString &bundle)
    {
        CmsCodeSigning signing(m_anchors);
        return signing.staticSigningInformation(bundle).has_value();
    }
    QString freshBundle()
    {
        return makeClaudeDesktop(m_dir.filePath(QStringLiteral("case%1").arg(++m_case)));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(!m_anchors.isEmpty());
        QVERIFY(m_dir.isValid());
    }

    // What lies on disk must be exactly what the signature lists.
    void unlistedAndMissingFiles()
    {
        const QString bundle = freshBundle();
        QVERIFY(valid(bundle));
        const QString resources = bundle + QStringLiteral("/Contents/Resources");
        QVERIFY(QDir().mkpath(resources));
        QVERIFY(valid(bundle));   // an empty directory holds no code
        QVERIFY(writeFile(resources + QStringLiteral("/extra.js"), "alert(1)"));
        QVERIFY(!valid(bundle));
        QVERIFY(QFile::remove(resources + QStringLiteral("/extra.js")));
        QVERIFY(valid(bundle));
        // A hidden file counts as much as any other.
        QVERIFY(writeFile(resources + QStringLiteral("/.hidden"), "x"));
        QVERIFY(!valid(bundle));
        // Signed with it, the bundle is valid; without it (listed but missing), invalid again.
        QCOMPARE(signBundle(bundle).exitCode, 0);
        QVERIFY(valid(bundle));
        QVERIFY(QFile::remove(resources + QStringLiteral("/.hidden")));
        QVERIFY(!valid(bundle));
        // Files inside _CodeSignature are not sealed; anything beside Contents breaks the seal.
        QCOMPARE(signBundle(bundle).exitCode, 0);
        QVERIFY(writeFile(bundle + QStringLiteral("/Contents/_CodeSignature/notes"), "x"));
        QVERIFY(valid(bundle));
        QVERIFY(writeFile(bundle + QStringLiteral("/README"), "x"));
        QVERIFY(!valid(bundle));
    }

    // Links that stay inside are fine; any way of leading outside (or nowhere) is not, and a FIFO
    // in the bundle is refused without blocking the walk.
    void linksAndSpecialFiles()
    {
        const QString bundle = freshBundle();
        const QString resources = bundle + QStringLiteral("/Contents/Resources");
        QVERIFY(QDir().mkpath(resources + QStringLiteral("/deep/er")));
        QVERIFY(QFile::link(QStringLiteral("../MacOS/Claude"), resources + QStringLiteral("/claude-link")));
        QVERIFY(QFile::link(QStringLiteral("deep/er"), resources + QStringLiteral("/shortcut")));
        QCOMPARE(signBundle(bundle).exitCode, 0);
        QVERIFY(valid(bundle));

        const QString outside = m_dir.filePath(QStringLiteral("outside"));
        QVERIFY(QDir().mkpath(outside));
        // The links lie in Contents/Resources/deep/er: five steps up is the bundle's parent.
        const QStringList escapes{
            QStringLiteral("../../../../.."),              // the bundle's parent
            outside,                                       // absolute
            QStringLiteral("../../../../../../outside"),
            QStringLiteral("../../deep/er/../../../../../../outside"),
            QStringLiteral("nowhere"),                     // dangling
            // Through a link to the parent ("up" -> ".."): read as text it stays inside, resolved
            // by the kernel it leaves the bundle.
            QStringLiteral("up/../../../../..")
        };
        for (const QString &target : escapes) {
            const QString link = resources + QStringLiteral("/deep/er/escape");
            if (target.startsWith(QLatin1String("up/")))
                QVERIFY(QFile::link(QStringLiteral(".."), resources + QStringLiteral("/deep/er/up")));
            QVERIFY(QFile::link(target, link));
            QVERIFY2(!valid(bundle), qPrintable(target));
            const ProcessResult refused = signBundle(bundle);
            QCOMPARE(refused.exitCode, 1);
            QVERIFY2(refused.standardError.contains("cannot be sealed"), refused.standardError.constData());
            QVERIFY(QFile::remove(link));
            QFile::remove(resources + QStringLiteral("/deep/er/up"));
        }
        QVERIFY(valid(bundle));

        const QString fifo = resources + QStringLiteral("/pipe");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QVERIFY(!valid(bundle));
        QCOMPARE(signBundle(bundle).exitCode, 1);
        QVERIFY(QFile::remove(fifo));
        // The Contents directory itself must not be a link.
        const QString moved = m_dir.filePath(QStringLiteral("moved-contents"));
        QCOMPARE(std::rename(QFile::encodeName(bundle + QStringLiteral("/Contents")).constData(),
                             QFile::encodeName(moved).constData()), 0);
        QVERIFY(QFile::link(moved, bundle + QStringLiteral("/Contents")));
        QVERIFY(!valid(bundle));
    }

    // The signer lists every file; openssl reads the same code directory and python3's hashlib
    // gives the same digests.
    void signerSealsEveryFile()
    {
        const QString bundle = freshBundle();
        QVERIFY(QDir().mkpath(bundle + QStringLiteral("/Contents/Resources/icons")));
        QVERIFY(writeFile(bundle + QStringLiteral("/Contents/Resources/icons/a.png"), QByteArray(5000, 'a')));
        QVERIFY(writeFile(bundle + QStringLiteral("/Contents/Resources/.dot"), "d"));
        QCOMPARE(signBundle(bundle).exitCode, 0);
        const ProcessResult content = runProcess(
            QStringLiteral("openssl"),
            {QStringLiteral("cms"), QStringLiteral("-verify"), QStringLiteral("-inform"), QStringLiteral("DER"),
             QStringLiteral("-in"), code_signature::signatureFilePath(bundle), QStringLiteral("-CAfile"), anchorsPath(),
             QStringLiteral("-purpose"), QStringLiteral("any"), QStringLiteral("-binary")});
        QVERIFY2(content.exitCode == 0, content.standardError.constData());
        const ProcessResult expected = runPython(QStringLiteral(
            "import hashlib,os,sys,json\n"
            "root=sys.argv[1]\n"
            "files={}\n"
            "for d,dirs,names in os.walk(os.path.join(root,'Contents')):\n"
            "  dirs[:]=[x for x in dirs if os.path.relpath(os.path.join(d,x),root)!='Contents/_CodeSignature']\n"
            "  for n in names:\n"
            "    p=os.path.join(d,n)\n"
            "    files[os.path.relpath(p,root)]=hashlib.sha256(open(p,'rb').read()).hexdigest()\n"
            "print(json.dumps(files,sort_keys=True))\n"), {bundle});
        QCOMPARE(QJsonDocument::fromJson(content.standardOutput).object().value(QStringLiteral("files")).toObject(),
                 QJsonDocument::fromJson(expected.standardOutput).object());
        QCOMPARE(QJsonDocument::fromJson(expected.standardOutput).object().size(), 4);
    }

    // Only the bundle's main executable runs as the signed application: a listed helper with the
    // very same bytes is not it, nor is an image that differs from the file now on disk.
    void runningImage()
    {
        const QString bundle = freshBundle();
        const QString helper = bundle + QStringLiteral("/Contents/MacOS/helper");
        QVERIFY(copyExecutable(sleeperPath(), helper));
        QCOMPARE(signBundle(bundle).exitCode, 0);
        QVERIFY(valid(bundle));
        RunningFixture main(bundle + QStringLiteral("/Contents/MacOS/Claude"));
        RunningFixture other(helper);
        QVERIFY(main.isRunning() && other.isRunning());
        CmsCodeSigning signing(m_anchors);
        const SigningInformation claude{QStringLiteral("com.anthropic.claude"), kAnthropicTeam};
        QCOMPARE(signing.applicationSigningInformation(main.pid(), bundle), claude);
        QCOMPARE(signing.applicationSigningInformation(main.pid(), bundle + QLatin1Char('/')), claude);
        QCOMPARE(signing.dynamicSigningInformation(main.pid()), claude);
        QVERIFY(!signing.applicationSigningInformation(other.pid(), bundle));
        QVERIFY(!signing.dynamicSigningInformation(other.pid()));
        // The right process, but asked about another bundle.
        const QString twin = freshBundle();
        QVERIFY(!signing.applicationSigningInformation(main.pid(), twin));
        QVERIFY(!signing.applicationSigningInformation(main.pid(), QString()));

        // A tampered image started from the bundle, the genuine file put back while it runs.
        const QString exe = bundle + QStringLiteral("/Contents/MacOS/Claude");
        const QString saved = m_dir.filePath(QStringLiteral("saved"));
        const QString tampered = m_dir.filePath(QStringLiteral("tampered"));
        QVERIFY(copyExecutable(exe, saved) && copyExecutable(exe, tampered) && tamper(tampered));
        QCOMPARE(std::rename(QFile::encodeName(tampered).constData(), QFile::encodeName(exe).constData()), 0);
        RunningFixture impostor(exe);
        QVERIFY(impostor.isRunning());
        QCOMPARE(std::rename(QFile::encodeName(saved).constData(), QFile::encodeName(exe).constData()), 0);
        char link[4096];
        const ssize_t n = ::readlink(QStringLiteral("/proc/%1/exe").arg(impostor.pid()).toLatin1().constData(), link, sizeof link);
        QVERIFY(n > 0 && QByteArray(link, n).endsWith(" (deleted)"));
        QVERIFY(valid(bundle));
        QVERIFY(!signing.applicationSigningInformation(impostor.pid(), bundle));
        QVERIFY(!signing.dynamicSigningInformation(impostor.pid()));
        QCOMPARE(signing.applicationSigningInformation(main.pid(), bundle), claude);
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(BundleSealingTest)
#include "tst_bundle_sealing.moc"
