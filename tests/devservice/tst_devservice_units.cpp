// Byte-level helpers of the devservice: request canonical text, signed path, PKCE, the device
// key's PEM form, strict base64 and percent-decoding. Cross-checked against python3 and openssl.
#include "canonical.h"
#include "signatures.h"
#include "util.h"

#include <QJsonDocument>
#include <QJsonObject>

#include "support/process_runner.h"

#include <QTemporaryDir>
#include <QTest>

namespace mornix {

class DevserviceUnitsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void requestSignatureMatchesPython()
    {
        const std::string secret = "vds_secret-value";
        const std::string text = devservice::canonicalRequestText("POST", "/api/desktop/commands/c1/ack", "1700000000",
                                                                  "0f4c1f8e-3f0b-4a51-9c1e-2f3f1d0a9b11", "{\"a\":1}");
        QCOMPARE(QByteArray::fromStdString(text),
                 QByteArray("POST\n/api/desktop/commands/c1/ack\n1700000000\n0f4c1f8e-3f0b-4a51-9c1e-2f3f1d0a9b11\n"
                            "015abd7f5cc57a2dd94b7590f04ad8084273905ee33ec5cebeae62276a97f862"));
        const ProcessResult python = runPython(
            "import hashlib, hmac, sys\n"
            "key = hashlib.sha256(sys.argv[1].encode()).hexdigest().encode()\n"
            "print(hmac.new(key, sys.argv[2].encode(), hashlib.sha256).hexdigest())\n",
            {QString::fromStdString(secret), QString::fromStdString(text)});
        QCOMPARE(python.exitCode, 0);
        QCOMPARE(QString::fromStdString(devservice::requestSignatureHex(devservice::sha256Hex(secret), text)),
                 QString::fromLatin1(python.standardOutput.trimmed()));
    }

    void signedPathIsTheTargetAsSent()
    {
        QCOMPARE(devservice::signedPathFromTarget("/api/desktop/commands/next").value(), std::string("/api/desktop/commands/next"));
        // An encoded "/" stays encoded: "/c%2Fd" and "/c/d" are different requests.
        QCOMPARE(devservice::signedPathFromTarget("/a%20b/c%2Fd?x=%20y&z=1").value(), std::string("/a%20b/c%2Fd?x=%20y&z=1"));
        QVERIFY(!devservice::signedPathFromTarget("relative"));
        QCOMPARE(devservice::signedPathFromTarget("/p?").value(), std::string("/p?"));
        QVERIFY(!devservice::signedPathFromTarget("/bad%2"));
        QVERIFY(!devservice::signedPathFromTarget("/bad%zz"));
        QVERIFY(!devservice::percentDecode("%"));
    }

    void pkceMatchesRfc7636AppendixB()
    {
        QCOMPARE(devservice::codeChallengeS256("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
                 std::string("E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"));
    }

    void devicePublicKeyMustBeTheAgentsExactPem()
    {
        QTemporaryDir dir;
        const QString key = dir.filePath("key.pem");
        QCOMPARE(runProcess("openssl", {"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", key}).exitCode, 0);
        const ProcessResult pub = runProcess("openssl", {"pkey", "-in", key, "-pubout"});
        QCOMPARE(pub.exitCode, 0);
        const std::string pem = pub.standardOutput.toStdString();
        const std::string exact = pem.substr(0, pem.size() - 1);  // no final line feed
        const auto der = devservice::parseDevicePublicKey(exact);
        QVERIFY(der);
        QCOMPARE(der->size(), size_t(91));
        QCOMPARE(QByteArray::fromStdString(der->substr(0, 4)).toHex(), QByteArray("30593013"));
        QVERIFY(!devservice::parseDevicePublicKey(pem));                    // trailing line feed
        QVERIFY(!devservice::parseDevicePublicKey(exact.substr(0, 60)));     // truncated

        // A P-384 key and a compressed P-256 point are refused.
        const QString other = dir.filePath("p384.pem");
        QCOMPARE(runProcess("openssl", {"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-384", "-out", other}).exitCode, 0);
        const std::string p384 = runProcess("openssl", {"pkey", "-in", other, "-pubout"}).standardOutput.toStdString();
        QVERIFY(!devservice::parseDevicePublicKey(p384.substr(0, p384.size() - 1)));
        const std::string compressed = runProcess("openssl", {"ec", "-in", key, "-pubout", "-conv_form", "compressed"})
                                           .standardOutput.toStdString();
        QVERIFY(!compressed.empty());
        QVERIFY(!devservice::parseDevicePublicKey(compressed.substr(0, compressed.size() - 1)));

        // openssl's DER signature verifies; one flipped message byte does not.
        const ProcessResult signature = runProcess("openssl", {"dgst", "-sha256", "-sign", key}, "REGISTER\nabc");
        QCOMPARE(signature.exitCode, 0);
        QVERIFY(devservice::verifyEcdsaSha256(*der, "REGISTER\nabc", signature.standardOutput.toStdString()));
        QVERIFY(!devservice::verifyEcdsaSha256(*der, "REGISTER\nabd", signature.standardOutput.toStdString()));
        QVERIFY(!devservice::verifyEcdsaSha256(*der, "REGISTER\nabc", ""));
    }

    void strictBase64()
    {
        QCOMPARE(devservice::decodeStrictBase64("aGk=").value(), std::string("hi"));
        QVERIFY(!devservice::decodeStrictBase64("aGk"));      // padding required
        QVERIFY(!devservice::decodeStrictBase64("aG k="));
        QVERIFY(!devservice::decodeStrictBase64("aGl="));     // non-canonical trailing bits
        QVERIFY(!devservice::decodeStrictBase64("_-8="));     // base64url alphabet
        QVERIFY(!devservice::decodeStrictBase64(""));
    }

    void textHelpers()
    {
        QCOMPARE(devservice::normalisedInviteCode("  ab12-cd34\n"), std::string("AB12-CD34"));
        QCOMPARE(devservice::sanitizeText(" a\tb\x7f" "c \n", 4000), std::string("abc"));
        QCOMPARE(devservice::userPerceivedLength("e\xcc\x81" "a"), 2);
        QCOMPARE(devservice::parseInteger("-12").value(), std::int64_t(-12));
        QVERIFY(!devservice::parseInteger("12a"));
        QVERIFY(!devservice::parseInteger("-"));
        QVERIFY(!devservice::parseInteger("99999999999999999999"));
        QVERIFY(!devservice::parseInteger(""));
        QVERIFY(!devservice::parseInteger("+1"));
        QVERIFY(!devservice::parseInteger(" 1"));
    }

    // Nineteen digits fit in 64 bits only up to 9223372036854775807; the edges both ways.
    void integersNeverOverflow()
    {
        QCOMPARE(devservice::parseInteger("9223372036854775807").value(), std::numeric_limits<std::int64_t>::max());
        QCOMPARE(devservice::parseInteger("-9223372036854775808").value(), std::numeric_limits<std::int64_t>::min());
        QVERIFY(!devservice::parseInteger("9223372036854775808"));
        QVERIFY(!devservice::parseInteger("9999999999999999999"));   // 19 digits, used to wrap negative
        QVERIFY(!devservice::parseInteger("-9223372036854775809"));
        QCOMPARE(devservice::parseInteger("00000000000000000000000042").value(), std::int64_t(42));
    }

    // The service's canonical JSON against python3's json module (sorted keys, compact, no
    // ASCII escaping), which follows the same rules independently.
    void canonicalJSONMatchesPython()
    {
        const QByteArray document = QByteArrayLiteral(
            "{\"z\":1,\"_a\":[true,false,null,-7,12345678901],\"A\":\"q\\\"b\\\\s/\\u0001\\u001f\\b\\f\\n\\r\\t\\u007f\","
            "\"\\u00e9t\\u00e9\":{\"\\ud83d\\ude00\":\"\\ud83d\\ude00\",\"\\uffff\":0,\"b\":{}},\"e\":[]}");
        const QJsonDocument parsed = QJsonDocument::fromJson(document);
        QVERIFY(parsed.isObject());
        const auto ours = devservice::canonicalJSON(parsed.object());
        QVERIFY(ours);
        const ProcessResult python = runPython(
            "import json, sys, hashlib\n"
            "value = json.loads(sys.argv[1])\n"
            "text = json.dumps(value, sort_keys=True, separators=(',', ':'), ensure_ascii=False)\n"
            "sys.stdout.buffer.write(text.encode('utf-8') + b'\\n' + hashlib.sha256(text.encode('utf-8')).hexdigest().encode())\n",
            {QString::fromUtf8(document)});
        QCOMPARE(python.exitCode, 0);
        const QList<QByteArray> lines = python.standardOutput.split('\n');
        QCOMPARE(QByteArray::fromStdString(*ours), lines.value(0));
        QCOMPARE(QByteArray::fromStdString(devservice::canonicalHashHex(parsed.object()).value()), lines.value(1));
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(DevserviceUnitsTest)
#include "tst_devservice_units.moc"
