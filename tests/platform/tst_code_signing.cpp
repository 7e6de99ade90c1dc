#include "discovery/kill_target_catalog.h"
#include "platform/linux/code_signature.h"
#include "platform/linux/cms_code_signing.h"
#include "support/crypto.h"

#include "support/process_runner.h"
#include "support/signed_fixtures.h"
#include "support/test_files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <utime.h>
#include <sys/stat.h>

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
    return openssl("genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out", {base + QStringLiteral(".key")})
                   .exitCode
               == 0
           && openssl("req -new -key", {base + QStringLiteral(".key"), QStringLiteral("-subj"), subject,
                                        QStringLiteral("-out"), base + QStringLiteral(".csr")})
                      .exitCode
                  == 0
           && openssl("x509 -req -days 30 -sha256 -extensions leaf -CAcreateserial -in",
                      {base + QStringLiteral(".csr"), QStringLiteral("-CA"), pki(QStringLiteral("codesign-anchor.pem")),
                       QStringLiteral("-CAkey"), pki(QStringLiteral("codesign-anchor.key")),
                       QStringLiteral("-CAserial"), directory + QStringLiteral("/serial"), QStringLiteral("-extfile"),
                       base + QStringLiteral(".cnf"), QStringLiteral("-out"), base + QStringLiteral(".pem")})
                      .exitCode
                  == 0;
}

}  // namespace

class CodeSigningTest : public QObject {
    Q_OBJECT

private:
    QByteArray m_anchors = readFile(anchorsPath());
    QTemporaryDir m_dir;

    std::optional<SigningInformation> verify(const QString &path)
    {
        CmsCodeSigning signing(m_anchors);  // a fresh cache per check
        return signing.staticSigningInformation(path);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(!m_anchors.isEmpty());
        QVERIFY(m_dir.isValid());
    }

    void signedExecutableAndBundle()
    {
        const QString cli = makeClaudeCode(m_dir.filePath(QStringLiteral("cli")));
        QVERIFY(!cli.isEmpty());
        QCOMPARE(verify(cli), (SigningInformation{QStringLiteral("com.anthropic.claude-code"), kAnthropicTeam}));

        const QString bundle = makeClaudeDesktop(m_dir.filePath(QStringLiteral("apps")));
        QVERIFY(!bundle.isEmpty());
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
    }

    void foreignTeamIsReportedAsSigned()
    {
        const QString cli = makeCLI(m_dir.filePath(QStringLiteral("foreign")), QStringLiteral("claude"),
                                    QStringLiteral("com.anthropic.claude-code"), kForeignTeam);
        QCOMPARE(verify(cli)->teamIdentifier, kForeignTeam);
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

    // A running process is checked by its running image, not by what lies at its path now.
    void dynamicValidity()
    {
        const QString dir = m_dir.filePath(QStringLiteral("dynamic"));
        const QString cli = makeClaudeCode(dir);
        const QString bundle = makeChatGPT(dir);
        RunningFixture process(cli);
        RunningFixture app(bundleExecutable(bundle));
        QVERIFY(process.isRunning() && app.isRunning());
        CmsCodeSigning signing(m_anchors);
        QCOMPARE(signing.dynamicSigningInformation(process.pid()),
                 (SigningInformation{QStringLiteral("com.anthropic.claude-code"), kAnthropicTeam}));
        QCOMPARE(signing.dynamicSigningInformation(app.pid()),
                 (SigningInformation{QStringLiteral("com.openai.chatgpt"), kOpenAITeam}));

        // Replace the file at the path with a different, freshly signed program: the running image
        // no longer has the listed hash.
        const QString replacement = dir + QStringLiteral("/replacement");
        QVERIFY(QFile::copy(cli, replacement));
        QVERIFY(tamper(replacement));
        QCOMPARE(::rename(QFile::encodeName(replacement).constData(), QFile::encodeName(cli).constData()), 0);
        QVERIFY(sign(cli, kAnthropicTeam, QStringLiteral("com.anthropic.claude-code")));
        QVERIFY(signing.staticSigningInformation(cli));
        QVERIFY(!signing.dynamicSigningInformation(process.pid()));

        QVERIFY(!signing.dynamicSigningInformation(0));
        QVERIFY(!signing.dynamicSigningInformation(QCoreApplication::applicationPid()));  // unsigned test binary
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
