#include "support/crypto.h"
#include "support/process_runner.h"

#include <QRegularExpression>
#include <QSet>
#include <QTest>

namespace mornix {

class CryptoTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void hashesAgreeWithPython();
    void uuidsAreVersion4LowerCase();
    void constantTimeEquals();
};

void CryptoTest::hashesAgreeWithPython()
{
    const QByteArray key = QByteArrayLiteral("k\x00\xffsecret");
    const QByteArray data = QByteArrayLiteral("GET\n/api/desktop/commands/next\n\xc3\xa9");
    const ProcessResult python = runPython(QStringLiteral(
        "import hashlib,hmac,sys\n"
        "k=bytes.fromhex(sys.argv[1]);d=bytes.fromhex(sys.argv[2])\n"
        "print(hashlib.sha256(d).hexdigest());print(hmac.new(k,d,hashlib.sha256).hexdigest())\n"),
        {QString::fromLatin1(key.toHex()), QString::fromLatin1(data.toHex())});
    QCOMPARE(python.exitCode, 0);
    const QList<QByteArray> lines = python.standardOutput.trimmed().split('\n');
    QCOMPARE(lines.size(), 2);
    QCOMPARE(crypto::sha256Hex(data).toLatin1(), lines[0]);
    QCOMPARE(crypto::hexLower(crypto::hmacSha256(key, data)).toLatin1(), lines[1]);
}

void CryptoTest::uuidsAreVersion4LowerCase()
{
    static const QRegularExpression shape(QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"));
    QSet<QString> seen;
    for (int i = 0; i < 64; ++i) {
        const QString uuid = crypto::randomUUIDLower();
        QVERIFY2(shape.match(uuid).hasMatch(), qPrintable(uuid));
        seen.insert(uuid);
    }
    QCOMPARE(seen.size(), 64);
}

void CryptoTest::constantTimeEquals()
{
    QVERIFY(crypto::constantTimeEquals("abc", "abc"));
    QVERIFY(!crypto::constantTimeEquals("abc", "abd"));
    QVERIFY(!crypto::constantTimeEquals("abc", "abcd"));
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(CryptoTest)
#include "tst_crypto.moc"
