// Byte-level helpers of the devservice: signed path, the device key's PEM form, strict base64,
// integers and canonical JSON. Cross-checked against python3 and openssl.
#include "canonical.h"
#include "signatures.h"
#include "support/process_runner.h"
#include "util.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

namespace mornix {

class DevserviceUnitsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void signedPathIsTheTargetAsSent()
    {
        // An encoded "/" stays encoded: "/c%2Fd" and "/c/d" are different requests.
        for (const char *target : {"/api/desktop/commands/next", "/a%20b/c%2Fd?x=%20y&z=1", "/p?"})
            QCOMPARE(devservice::signedPathFromTarget(target).value(), std::string(target));
        for (const char *bad : {"relative", "/bad%2", "/bad%zz"})
            QVERIFY2(!devservice::signedPathFromTarget(bad), bad);
        QVERIFY(!devservice::percentDecode("%"));
    }

    void devicePublicKeyMustBeTheAgentsExactPem()
    {
        QTemporaryDir dir;
        // A new key of the curve and its public PEM as openssl writes it (with a final line feed).
        const auto newKey = [&](const QString &curve) {
            const QString key = dir.filePath(curve + QStringLiteral(".pem"));
            runProcess("openssl",
                       {"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:" + curve, "-out", key});
            return std::pair{key, runProcess("openssl", {"pkey", "-in", key, "-pubout"}).standardOutput.toStdString()};
        };
        const auto [key, pem] = newKey(QStringLiteral("P-256"));
        QVERIFY(!pem.empty());
        const std::string exact = pem.substr(0, pem.size() - 1);  // no final line feed
        const auto der = devservice::parseDevicePublicKey(exact);
        QVERIFY(der);
        QCOMPARE(der->size(), size_t(91));
        QCOMPARE(QByteArray::fromStdString(der->substr(0, 4)).toHex(), QByteArray("30593013"));
        QVERIFY(!devservice::parseDevicePublicKey(pem));                  // trailing line feed
        QVERIFY(!devservice::parseDevicePublicKey(exact.substr(0, 60)));  // truncated

        // A P-384 key and a compressed P-256 point are refused.
        const std::string p384 = newKey(QStringLiteral("P-384")).second;
        QVERIFY(!p384.empty());
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
        // No padding, a space, non-canonical trailing bits, the base64url alphabet, nothing.
        for (const char *bad : {"aGk", "aG k=", "aGl=", "_-8=", ""})
            QVERIFY2(!devservice::decodeStrictBase64(bad), bad);
    }

    void textHelpers()
    {
        QCOMPARE(devservice::normalisedInviteCode("  ab12-cd34\n"), std::string("AB12-CD34"));
        QCOMPARE(devservice::sanitizeText(" a\tb\x7f"
                                          "c \n",
                                          4000),
                 std::string("abc"));
        QCOMPARE(devservice::userPerceivedLength("e\xcc\x81"
                                                 "a"),
                 2);
    }

    // Nineteen digits fit in 64 bits only up to 9223372036854775807; the edges both ways.
    void integersAreStrictAndNeverOverflow()
    {
        QCOMPARE(devservice::parseInteger("-12").value(), std::int64_t(-12));
        QCOMPARE(devservice::parseInteger("9223372036854775807").value(), std::numeric_limits<std::int64_t>::max());
        QCOMPARE(devservice::parseInteger("-9223372036854775808").value(), std::numeric_limits<std::int64_t>::min());
        QCOMPARE(devservice::parseInteger("00000000000000000000000042").value(), std::int64_t(42));
        // "9999999999999999999" has 19 digits and used to wrap negative.
        for (const char *bad : {"12a", "-", "", "+1", " 1", "99999999999999999999", "9223372036854775808",
                                "9999999999999999999", "-9223372036854775809"})
            QVERIFY2(!devservice::parseInteger(bad), bad);
    }

    // The service's canonical JSON against python3's json module (sorted keys, compact, no
    // ASCII escaping), which follows the same rules independently.
    void canonicalJSONMatchesPython()
    {
        const QByteArray document = QByteArrayLiteral(
            "{\"z\":1,\"_a\":[true,false,null,-7,12345678901],\"A\":\"q\\\"b\\\\s/"
            "\\u0001\\u001f\\b\\f\\n\\r\\t\\u007f\","
            "\"\\u00e9t\\u00e9\":{\"\\ud83d\\ude00\":\"\\ud83d\\ude00\",\"\\uffff\":0,\"b\":{}},\"e\":[]}");
        const QJsonDocument parsed = QJsonDocument::fromJson(document);
        QVERIFY(parsed.isObject());
        const auto ours = devservice::canonicalJSON(parsed.object());
        QVERIFY(ours);
        const ProcessResult python =
            runPython("import json, sys, hashlib\n"
                      "value = json.loads(sys.argv[1])\n"
                      "text = json.dumps(value, sort_keys=True, separators=(',', ':'), ensure_ascii=False)\n"
                      "sys.stdout.buffer.write(text.encode('utf-8') + b'\\n' + "
                      "hashlib.sha256(text.encode('utf-8')).hexdigest().encode())\n",
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
