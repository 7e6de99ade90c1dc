// Code signatures of executables and sealed bundles: verification, the format's rules against
// openssl and python3, and the running-image check of processes and applications.
#include "discovery/kill_target_catalog.h"
#include "platform/linux/codesign/code_signature.h"
#include "platform/linux/codesign/cms_code_signing.h"
#include "support/crypto.h"

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

#include <utime.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mornix {

using namespace fixtures;

namespace {

QString pki(const QString &name)
{
    return QStringLiteral(MORNIX_DEV_PKI_DIR "/") + name;
}

// `words` split at single spaces (never a path: paths come as separate arguments).
ProcessResult openssl(const char *words, const QStringList &more = {})
{
    return runProcess(QStringLiteral("openssl"), QString::fromLatin1(words).split(u' ') + more);
}

// A code directory for a standalone executable, as the format defines it, built independently.
QByteArray codeDirectoryFor(const QString &path, const QString &identifier)
{
    const QString name = QFileInfo(path).fileName();
    return QStringLiteral("{\"files\":{\"%1\":\"%2\"},\"format\":\"veltro-codesign-1\",\"identifier\":\"%3\"}")
        .arg(name, crypto::sha256Hex(readFile(path)), identifier)
        .toUtf8();
}

// An embedded CMS signature of `contentPath` (digest `md`), made by the openssl command line.
ProcessResult opensslSign(const QString &contentPath, const QString &outPath, const QStringList &signer,
                          const char *md = "sha256", bool detached = false)
{
    const QStringList mode = detached ? QStringList() : QStringList{QStringLiteral("-nodetach")};
    return openssl("cms -sign -binary -outform DER -md",
                   QStringList{QLatin1String(md), QStringLiteral("-in"), contentPath, QStringLiteral("-out"), outPath}
                       + mode + signer);
}

QStringList signer(const QString &certificate, const QString &key)
{
    return {QStringLiteral("-signer"), certificate, QStringLiteral("-inkey"), key};
}

QStringList teamSigner(const QString &team)
{
    return signer(pki(QStringLiteral("team-%1.pem").arg(team)), pki(QStringLiteral("team-%1.key").arg(team)));
}

ProcessResult signBundle(const QString &bundle)
{
    return runProcess(codesignToolPath(),
                      {QStringLiteral("--cert"), pki(QStringLiteral("team-Q6L2SF6YDW.pem")), QStringLiteral("--key"),
                       pki(QStringLiteral("team-Q6L2SF6YDW.key")), bundle});
}

bool copyExecutable(const QString &from, const QString &to)
{
    QFile::remove(to);
    return QFile::copy(from, to) && QFile::setPermissions(to, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

ProcessResult opensslVerify(const QString &signature)
{
    return openssl("cms -verify -inform DER -purpose any -binary",
                   {QStringLiteral("-in"), signature, QStringLiteral("-CAfile"), anchorsPath()});
}

// Issues a leaf certificate under the dev anchor with the given subject and extensions.
bool issueLeaf(const QString &directory, const QString &name, const QString &subject, const QString &extensions)
{
    const QString base = directory + QLatin1Char('/') + name;
    writeFile(base + QStringLiteral(".cnf"), QStringLiteral("[leaf]\n%1\n").arg(extensions).toUtf8());
    const auto ok = [](const ProcessResult &result) { return result.exitCode == 0; };
    return ok(openssl("genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out", {base + QStringLiteral(".key")}))
           && ok(openssl("req -new -key", {base + QStringLiteral(".key"), QStringLiteral("-subj"), subject,
                                           QStringLiteral("-out"), base + QStringLiteral(".csr")}))
           && ok(openssl("x509 -req -days 30 -sha256 -extensions leaf -CAcreateserial -in",
                         {base + QStringLiteral(".csr"), QStringLiteral("-CA"),
                          pki(QStringLiteral("codesign-anchor.pem")), QStringLiteral("-CAkey"),
                          pki(QStringLiteral("codesign-anchor.key")), QStringLiteral("-CAserial"),
                          directory + QStringLiteral("/serial"), QStringLiteral("-extfile"),
                          base + QStringLiteral(".cnf"), QStringLiteral("-out"), base + QStringLiteral(".pem")}));
}

}  // namespace

class CodeSigningTest : public QObject {
    Q_OBJECT

private:
    QByteArray m_anchors = readFile(anchorsPath());
    QTemporaryDir m_dir;

    int m_case = 0;

    std::optional<SigningInformation> verify(const QString &path)
    {
        CmsCodeSigning signing(m_anchors);  // a fresh cache per check
        return signing.staticSigningInformation(path);
    }
    QString freshBundle() { return makeClaudeDesktop(m_dir.filePath(QStringLiteral("case%1").arg(++m_case))); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(!m_anchors.isEmpty());
        QVERIFY(m_dir.isValid());
    }

    void signedExecutableAndBundle()
    {
        const QString cli = makeClaudeCode(m_dir.filePath(QStringLiteral("cli")));
        QCOMPARE(verify(cli), (SigningInformation{QStringLiteral("com.anthropic.claude-code"), kAnthropicTeam}));

        const QString bundle = makeClaudeDesktop(m_dir.filePath(QStringLiteral("apps")));
        QCOMPARE(verify(bundle), (SigningInformation{QStringLiteral("com.anthropic.claude"), kAnthropicTeam}));
        QCOMPARE(verify(bundle + QLatin1Char('/')), verify(bundle));

        CmsCodeSigning signing(m_anchors);
        QVERIFY(signing.satisfies(bundle, {QStringLiteral("com.anthropic.claude"), kAnthropicTeam}));
        QVERIFY(!signing.satisfies(bundle, {QStringLiteral("com.anthropic.claude"), kOpenAITeam}));
        QVERIFY(!signing.satisfies(bundle, {QStringLiteral("com.anthropic.claudex"), kAnthropicTeam}));

        // The agent's own bundle is signed by the build, with a team that is no stop target's.
        QCOMPARE(verify(QStringLiteral(MORNIX_BUNDLE_DIR)),
                 (SigningInformation{QStringLiteral("ai.veltro.mornix"), kOwnTeam}));
        for (const KillTargetCatalog::Target &target : KillTargetCatalog::all())
            QVERIFY2(!target.teamIdentifiers.contains(kOwnTeam), qPrintable(target.key));

        // A foreign team is reported as signed, with its team: refusing it is the catalogs' part.
        const QString foreign = makeCLI(m_dir.filePath(QStringLiteral("foreign")), QStringLiteral("claude"),
                                        QStringLiteral("com.anthropic.claude-code"), kForeignTeam);
        QCOMPARE(verify(foreign)->teamIdentifier, kForeignTeam);
    }

    void invalidCodeIsRefused()
    {
        const QString dir = m_dir.filePath(QStringLiteral("invalid"));
        // Unsigned.
        QVERIFY(!verify(makeCLI(dir, QStringLiteral("unsigned"), {}, {})));
        // Tampered executable.
        const QString tampered = makeCLI(dir, QStringLiteral("tampered"), QStringLiteral("x"), kOpenAITeam);
        QVERIFY(verify(tampered));
        QVERIFY(tamper(tampered));
        QVERIFY(!verify(tampered));
        // Tampered Info.plist of a bundle.
        const QString bundle = makeCodexApp(dir);
        QVERIFY(verify(bundle));
        QFile plist(bundle + QStringLiteral("/Contents/Info.plist"));
        QVERIFY(plist.open(QIODevice::Append));
        plist.write("\n");
        plist.close();
        QVERIFY(!verify(bundle));
        // A bundle signature that does not list Info.plist, and one that lists a path outside.
        const QString chat = makeChatGPT(dir);
        const QString exe = bundleExecutable(chat);
        const QString signature = code_signature::signatureFilePath(chat);
        const QByteArray cert = readFile(pki(QStringLiteral("team-2DC432GLL2.pem")));
        const QByteArray key = readFile(pki(QStringLiteral("team-2DC432GLL2.key")));
        code_signature::CodeDirectory directory{
            QStringLiteral("com.openai.chatgpt"),
            {{QStringLiteral("Contents/MacOS/ChatGPT"), crypto::sha256Hex(readFile(exe))}}};
        const auto signedVerdict = [&] {
            const auto der =
                code_signature::signContent(code_signature::encodeCodeDirectory(directory), cert, key, nullptr);
            return writeFile(signature, der.value()) && verify(chat).has_value();  // value(): signing must work
        };
        QVERIFY(!signedVerdict());
        directory.files.insert(QStringLiteral("Contents/Info.plist"),
                               crypto::sha256Hex(readFile(chat + QStringLiteral("/Contents/Info.plist"))));
        QVERIFY(signedVerdict());
        directory.files.insert(QStringLiteral("Contents/../../outside"), crypto::sha256Hex({}));
        QVERIFY(!signedVerdict());
        // A listed file replaced by a symbolic link to an identical copy.
        const QString linked =
            makeCLI(dir + QStringLiteral("/link"), QStringLiteral("codex"), QStringLiteral("codex"), kOpenAITeam);
        QVERIFY(QFile::rename(linked, linked + QStringLiteral(".real")));
        QVERIFY(QFile::link(linked + QStringLiteral(".real"), linked));
        QVERIFY(!verify(linked));
        // Garbage instead of a signature.
        const QString garbage = makeCLI(dir, QStringLiteral("garbage"), QStringLiteral("x"), kOpenAITeam);
        QVERIFY(writeFile(garbage + QStringLiteral(".codesig"), QByteArray(300, 'x')));
        QVERIFY(!verify(garbage));
    }

    // A signature made with the openssl command line verifies with our code, and ours with openssl.
    void interoperatesWithOpenSSL()
    {
        const QString dir = m_dir.filePath(QStringLiteral("openssl"));
        const QString cli = makeCLI(dir, QStringLiteral("codex"), {}, {});
        const QString content = dir + QStringLiteral("/cd.json");
        QVERIFY(writeFile(content, codeDirectoryFor(cli, QStringLiteral("com.openai.codex"))));
        const ProcessResult signedByCLI =
            opensslSign(content, cli + QStringLiteral(".codesig"), teamSigner(kOpenAITeam));
        QVERIFY2(signedByCLI.exitCode == 0, signedByCLI.standardError.constData());
        QCOMPARE(verify(cli), (SigningInformation{QStringLiteral("com.openai.codex"), kOpenAITeam}));

        QVERIFY(sign(cli, kOpenAITeam, QStringLiteral("codex")));
        const ProcessResult verified = opensslVerify(cli + QStringLiteral(".codesig"));
        QVERIFY2(verified.exitCode == 0, verified.standardError.constData());
        QCOMPARE(verified.standardOutput, codeDirectoryFor(cli, QStringLiteral("codex")));
    }

    // Signatures that are well-formed CMS but break a rule of the format.
    void certificateAndStructureRules()
    {
        const QString dir = m_dir.filePath(QStringLiteral("rules"));
        QDir().mkpath(dir);
        const QString cli = makeCLI(dir, QStringLiteral("claude"), {}, {});
        const QString content = dir + QStringLiteral("/cd.json");
        QVERIFY(writeFile(content, codeDirectoryFor(cli, QStringLiteral("com.anthropic.claude-code"))));
        const QString signature = cli + QStringLiteral(".codesig");
        const QString leaf = QStringLiteral("basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature");
        const QString codeSigning = leaf + QStringLiteral("\nextendedKeyUsage=critical,codeSigning");
        QVERIFY(issueLeaf(dir, QStringLiteral("noeku"), QStringLiteral("/O=X/OU=Q6L2SF6YDW/CN=No EKU"), leaf));
        QVERIFY(issueLeaf(dir, QStringLiteral("twoou"), QStringLiteral("/O=X/OU=Q6L2SF6YDW/OU=2DC432GLL2/CN=Two OUs"),
                          codeSigning));
        QVERIFY(issueLeaf(dir, QStringLiteral("good"), QStringLiteral("/O=X/OU=Q6L2SF6YDW/CN=Good"), codeSigning));
        const auto leafSigner = [&](const char *name) {
            const QString base = dir + QLatin1Char('/') + QLatin1String(name);
            return signer(base + QStringLiteral(".pem"), base + QStringLiteral(".key"));
        };
        QCOMPARE(opensslSign(content, signature, leafSigner("good")).exitCode, 0);
        QCOMPARE(verify(cli)->teamIdentifier, kAnthropicTeam);

        // A self-signed code-signing certificate outside the anchors.
        QCOMPARE(openssl("req -x509 -new -subj /O=X/OU=Q6L2SF6YDW/CN=Self -addext extendedKeyUsage=codeSigning -key",
                         {dir + QStringLiteral("/good.key"), QStringLiteral("-out"), dir + QStringLiteral("/self.pem")})
                     .exitCode,
                 0);
        const struct {
            const char *name;
            QStringList signer;
            const char *md;
            bool detached;
        } refused[] = {
            {"no code-signing usage", leafSigner("noeku"), "sha256", false},
            {"two team units", leafSigner("twoou"), "sha256", false},
            {"two signers", leafSigner("good") + teamSigner(kAnthropicTeam), "sha256", false},
            {"SHA-1 digest", leafSigner("good"), "sha1", false},
            {"detached content", leafSigner("good"), "sha256", true},
            {"self-signed", signer(dir + QStringLiteral("/self.pem"), dir + QStringLiteral("/good.key")), "sha256",
             false},
        };
        for (const auto &row : refused) {
            QCOMPARE(opensslSign(content, signature, row.signer, row.md, row.detached).exitCode, 0);
            QVERIFY2(!verify(cli), row.name);
        }
    }

    // The verdict cache notices a rewrite even when size and modification time are restored.
    void cacheFollowsFileIdentity()
    {
        const QString cli = makeClaudeCode(m_dir.filePath(QStringLiteral("cache")));
        CmsCodeSigning signing(m_anchors);
        QVERIFY(signing.staticSigningInformation(cli));
        QVERIFY(signing.staticSigningInformation(cli));
        struct stat before;
        QCOMPARE(::stat(QFile::encodeName(cli).constData(), &before), 0);
        QByteArray bytes = readFile(cli);
        bytes[bytes.size() - 1] = char(bytes.at(bytes.size() - 1) ^ 0x5a);
        QTest::qWait(20);
        QVERIFY(writeFile(cli, bytes));
        struct utimbuf times {
            before.st_atime, before.st_mtime
        };
        QCOMPARE(::utime(QFile::encodeName(cli).constData(), &times), 0);
        QVERIFY(!signing.staticSigningInformation(cli));
    }

    // What lies on disk must be exactly what the signature lists.
    void unlistedAndMissingFiles()
    {
        const QString bundle = freshBundle();
        QVERIFY(verify(bundle));
        const QString resources = bundle + QStringLiteral("/Contents/Resources");
        QVERIFY(QDir().mkpath(resources));
        QVERIFY(verify(bundle));  // an empty directory holds no code
        QVERIFY(writeFile(resources + QStringLiteral("/extra.js"), "alert(1)"));
        QVERIFY(!verify(bundle));
        QVERIFY(QFile::remove(resources + QStringLiteral("/extra.js")));
        QVERIFY(verify(bundle));
        // A hidden file counts as much as any other.
        QVERIFY(writeFile(resources + QStringLiteral("/.hidden"), "x"));
        QVERIFY(!verify(bundle));
        // Signed with it, the bundle is valid; without it (listed but missing), invalid again.
        QCOMPARE(signBundle(bundle).exitCode, 0);
        QVERIFY(verify(bundle));
        QVERIFY(QFile::remove(resources + QStringLiteral("/.hidden")));
        QVERIFY(!verify(bundle));
        // Files inside _CodeSignature are not sealed; anything beside Contents breaks the seal.
        QCOMPARE(signBundle(bundle).exitCode, 0);
        QVERIFY(writeFile(bundle + QStringLiteral("/Contents/_CodeSignature/notes"), "x"));
        QVERIFY(verify(bundle));
        QVERIFY(writeFile(bundle + QStringLiteral("/README"), "x"));
        QVERIFY(!verify(bundle));
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
        QVERIFY(verify(bundle));

        const QString outside = m_dir.filePath(QStringLiteral("outside"));
        QVERIFY(QDir().mkpath(outside));
        // The links lie in Contents/Resources/deep/er: five steps up is the bundle's parent.
        const QStringList escapes{QStringLiteral("../../../../.."),  // the bundle's parent
                                  outside,                           // absolute
                                  QStringLiteral("../../../../../../outside"),
                                  QStringLiteral("../../deep/er/../../../../../../outside"),
                                  QStringLiteral("nowhere"),  // dangling
                                  // Through a link to the parent ("up" -> ".."): read as text it stays inside, resolved
                                  // by the kernel it leaves the bundle.
                                  QStringLiteral("up/../../../../..")};
        for (const QString &target : escapes) {
            const QString link = resources + QStringLiteral("/deep/er/escape");
            if (target.startsWith(QLatin1String("up/")))
                QVERIFY(QFile::link(QStringLiteral(".."), resources + QStringLiteral("/deep/er/up")));
            QVERIFY(QFile::link(target, link));
            QVERIFY2(!verify(bundle), qPrintable(target));
            const ProcessResult refused = signBundle(bundle);
            QCOMPARE(refused.exitCode, 1);
            QVERIFY2(refused.standardError.contains("cannot be sealed"), refused.standardError.constData());
            QVERIFY(QFile::remove(link));
            QFile::remove(resources + QStringLiteral("/deep/er/up"));
        }
        QVERIFY(verify(bundle));

        const QString fifo = resources + QStringLiteral("/pipe");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QVERIFY(!verify(bundle));
        QCOMPARE(signBundle(bundle).exitCode, 1);
        QVERIFY(QFile::remove(fifo));
        // The Contents directory itself must not be a link.
        const QString moved = m_dir.filePath(QStringLiteral("moved-contents"));
        QCOMPARE(std::rename(QFile::encodeName(bundle + QStringLiteral("/Contents")).constData(),
                             QFile::encodeName(moved).constData()),
                 0);
        QVERIFY(QFile::link(moved, bundle + QStringLiteral("/Contents")));
        QVERIFY(!verify(bundle));
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
        const ProcessResult content = opensslVerify(code_signature::signatureFilePath(bundle));
        QVERIFY2(content.exitCode == 0, content.standardError.constData());
        const ProcessResult expected = runPython(
            QStringLiteral(
                "import hashlib,os,sys,json\n"
                "root=sys.argv[1]\n"
                "files={}\n"
                "for d,dirs,names in os.walk(os.path.join(root,'Contents')):\n"
                "  dirs[:]=[x for x in dirs if os.path.relpath(os.path.join(d,x),root)!='Contents/_CodeSignature']\n"
                "  for n in names:\n"
                "    p=os.path.join(d,n)\n"
                "    files[os.path.relpath(p,root)]=hashlib.sha256(open(p,'rb').read()).hexdigest()\n"
                "print(json.dumps(files,sort_keys=True))\n"),
            {bundle});
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
        QVERIFY(verify(bundle));
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
        QVERIFY(!signing.dynamicSigningInformation(0));

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
        const ssize_t n =
            ::readlink(QStringLiteral("/proc/%1/exe").arg(impostor.pid()).toLatin1().constData(), link, sizeof link);
        QVERIFY(n > 0 && QByteArray(link, n).endsWith(" (deleted)"));
        QVERIFY(verify(bundle));
        QVERIFY(!signing.applicationSigningInformation(impostor.pid(), bundle));
        QVERIFY(!signing.dynamicSigningInformation(impostor.pid()));
        QCOMPARE(signing.applicationSigningInformation(main.pid(), bundle), claude);
    }

    void codeDirectoryParsing()
    {
        using code_signature::parseCodeDirectory;
        const QString hash(64, QLatin1Char('a'));
        auto text = [](const char *format, const char *identifier, const QString &files) {
            return QStringLiteral("{\"format\":\"%1\",\"identifier\":\"%2\",\"files\":{%3}}")
                .arg(QLatin1String(format), QLatin1String(identifier), files)
                .toUtf8();
        };
        auto entry = [](const char *path, const QString &digest) {
            return QStringLiteral("\"%1\":\"%2\"").arg(QLatin1String(path), digest);
        };
        QVERIFY(parseCodeDirectory(text("veltro-codesign-1", "x", entry("a/b", hash))));
        QVERIFY(!parseCodeDirectory(text("veltro-codesign-2", "x", entry("a", hash))));
        QVERIFY(!parseCodeDirectory(text("veltro-codesign-1", "", entry("a", hash))));
        QVERIFY(!parseCodeDirectory(text("veltro-codesign-1", "x", entry("/a", hash))));
        QVERIFY(!parseCodeDirectory(text("veltro-codesign-1", "x", entry("a//b", hash))));
        QVERIFY(!parseCodeDirectory(text("veltro-codesign-1", "x", entry("a/./b", hash))));
        QVERIFY(!parseCodeDirectory(text("veltro-codesign-1", "x", entry("a", hash.toUpper()))));
        QVERIFY(!parseCodeDirectory(text("veltro-codesign-1", "x", entry("a", hash.left(63)))));
        QVERIFY(!parseCodeDirectory(text("veltro-codesign-1", "x", QString())));
        QVERIFY(!parseCodeDirectory("[]"));
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(CodeSigningTest)
#include "tst_code_signing.moc"
