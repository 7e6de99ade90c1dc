#include "support/canonical_json.h"
#include "support/process_runner.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

namespace mornix {

using canonical_json::jsonScalarString;
using canonical_json::stableJSONString;

class CanonicalJsonTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void scalarEscapes_data();
    void scalarEscapes();
    void keysSortByCodePoint();
    void agreesWithPython_data();
    void agreesWithPython();
    void refusesUndefined();
};

void CanonicalJsonTest::scalarEscapes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << QStringLiteral("abc") << QStringLiteral("\"abc\"");
    QTest::newRow("quote and backslash") << QStringLiteral("a\"b\\c") << QStringLiteral("\"a\\\"b\\\\c\"");
    QTest::newRow("solidus unescaped") << QStringLiteral("a/b") << QStringLiteral("\"a/b\"");
    QTest::newRow("short escapes") << QStringLiteral("\b\f\n\r\t") << QStringLiteral("\"\\b\\f\\n\\r\\t\"");
    QTest::newRow("other controls lower hex") << QString(QChar(0x1f)) + QChar(0x01) << QStringLiteral("\"\\u001f\\u0001\"");
    QTest::newRow("non-ascii unchanged") << QStringLiteral("é😀") << QStringLiteral("\"é😀\"");
    QTest::newRow("DEL unchanged") << QString(QChar(0x7f)) << QStringLiteral("\"\x7f\"");
}

void CanonicalJsonTest::scalarEscapes()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(jsonScalarString(text), expected);
}

void CanonicalJsonTest::keysSortByCodePoint()
{
    QJsonObject object{{QStringLiteral("b"), 1}, {QStringLiteral("_a"), true}, {QStringLiteral("A"), QJsonValue()},
                       {QStringLiteral("a_b"), QJsonArray{1, QStringLiteral("x")}}, {QStringLiteral("ab"), 2.5}};
    QCOMPARE(*stableJSONString(QJsonValue(object)),
             QStringLiteral(R"({"A":null,"_a":true,"a_b":[1,"x"],"ab":2.5,"b":1})"));
}

void CanonicalJsonTest::agreesWithPython_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::newRow("record-like") << QByteArray(R"({"posture":{"sip_enabled":true,"sip_raw_status":"System Integrity Protection status: enabled.\n"},"hardware_uuid":"ABC","agent":{"generated_at":"2026-01-01T00:00:00Z"},"n":1700000000})");
    QTest::newRow("unicode and controls") << QByteArray("{\"name\":\"Zo\\u00eb's Mac \\u2014 \\ud83d\\ude00\",\"ctl\":\"\\u0007\\u001b/\",\"list\":[null,false,0,-3]}");
    QTest::newRow("nested arrays") << QByteArray(R"([[],{},[{"z":1,"a":[2,{"y":null}]}]])");
}

void CanonicalJsonTest::agreesWithPython()
{
    QFETCH(QByteArray, json);
    const QJsonDocument document = QJsonDocument::fromJson(json);
    QVERIFY(!document.isNull());
    const QJsonValue value = document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
    const auto ours = stableJSONString(value);
    QVERIFY(ours.has_value());

    const ProcessResult python = runPython(QStringLiteral(
        "import json,sys\n"
        "v=json.loads(sys.stdin.buffer.read().decode('utf-8'))\n"
        "sys.stdout.buffer.write(json.dumps(v,sort_keys=True,separators=(',',':'),ensure_ascii=False).encode('utf-8'))\n"),
        {}, json);
    QCOMPARE(python.exitCode, 0);
    QCOMPARE(ours->toUtf8(), python.standardOutput);
}

void CanonicalJsonTest::refusesUndefined()
{
    QVERIFY(!stableJSONString(QJsonValue(QJsonValue::Undefined)).has_value());
    QVERIFY(!stableJSONString(QVariant()).has_value());
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(CanonicalJsonTest)
#include "tst_canonical_json.moc"
