#include "test_pki.h"

#include "support/process_runner.h"
#include "support/test_files.h"

#include <QFile>

namespace mornix {

TestPki::TestPki()
{
    const ProcessResult result = runProcess(
        QStringLiteral("bash"), {QStringLiteral(MORNIX_SOURCE_DIR "/tests/api/make-test-pki"), m_dir.path()});
    m_valid = m_dir.isValid() && result.exitCode == 0 && QFile::exists(certificate(QStringLiteral("rogue")));
    if (!m_valid)
        qWarning("make-test-pki failed: %s", result.standardError.constData());
}

QString TestPki::certificate(const QString &name) const
{
    return m_dir.filePath(name + QStringLiteral(".pem"));
}

QString TestPki::key(const QString &name) const
{
    return m_dir.filePath(name + QStringLiteral(".key"));
}

Config TestPki::config(const QSet<QString> &pins) const
{
    Config config = Config::defaults();
    config.allowedAPIHosts = {QStringLiteral("localhost"), QStringLiteral("127.0.0.1")};
    config.extraTLSAnchorsPEM = readFile(certificate(QStringLiteral("ca")));
    config.bundledPinnedSPKIHashes = pins;
    config.pinnedSPKIHashes = pins;
    return config;
}

QString TestPki::opensslPin(const QString &name) const
{
    // EC: the uncompressed point is the last 65 bytes of the P-256 SubjectPublicKeyInfo once
    // re-encoded uncompressed; RSA: the PKCS #1 RSAPublicKey DER.
    const QString script =
        QStringLiteral("set -euo pipefail\n"
                       "pub=$(openssl x509 -in \"$1\" -pubkey -noout)\n"
                       "if echo \"$pub\" | openssl rsa -pubin -noout 2>/dev/null; then\n"
                       "  echo \"$pub\" | openssl rsa -pubin -RSAPublicKey_out -outform DER 2>/dev/null | sha256sum\n"
                       "else\n"
                       "  echo \"$pub\" | openssl ec -pubin -conv_form uncompressed -outform DER 2>/dev/null | tail -c "
                       "65 | sha256sum\n"
                       "fi\n");
    const ProcessResult result =
        runProcess(QStringLiteral("bash"), {QStringLiteral("-c"), script, QStringLiteral("pin"), certificate(name)});
    return QString::fromLatin1(result.standardOutput.left(64));
}

}  // namespace mornix
