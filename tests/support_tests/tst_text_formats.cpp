// The text formats of the support library. The JSON field reader: required/optional rules for
// every type, the integer rule at its edges (cross-checked with python3's json module), nested
// paths and document errors. Canonical JSON against python3, and the cleaning of log text.
#include "support/canonical_json.h"
#include "support/json_reader.h"
#include "support/text_cleaning.h"

#include "support/process_runner.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <functional>
#include <limits>

namespace mornix {

using canonical_json::jsonScalarString;
using canonical_json::stableJSONString;

class TextFormatsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void integerRuleAgreesWithPython();
    void requiredAndOptionalFields_data();
    void requiredAndOptionalFields();
    void nestedObjectsNameTheirPath();
    void documentErrors_data();
    void documentErrors();
    void scalarEscapes_data();
    void scalarEscapes();
    void agreesWithPython_data();
    void agreesWithPython();
    void refusesUndefined();
    void sanitizeLog_data();
    void sanitizeLog();
};

namespace {

// What one read did: "ok <value>" or the problem's name.
QString outcome(const std::function<QString()> &read)
{
    static const char *const names[] = {"not-json", "not-object", "missing", "null", "type", "range"};
    try {
        return QStringLiteral("ok ") + read();
    } catch (const JsonFieldError &error) {
        return QString::fromLatin1(names[static_cast<int>(error.problem())]);
    }
}

// python3's answer to a script, one line per input line.
QList<QByteArray> pythonLines(const QString &script, const QList<QByteArray> &inputs)
{
    const ProcessResult python = runPython(script, {}, inputs.join('\n'));
    if (python.exitCode != 0)
        qWarning("python3: %s", python.standardError.constData());
    const QList<QByteArray> lines = python.standardOutput.trimmed().split('\n');
    return lines.size() == inputs.size() ? lines : QList<QByteArray>();
}

// The required and the optional reader of one field type, each answering its result as text
// ("<absent>" for an optional field that is not there).
using Readers = std::pair<std::function<QString()>, std::function<QString()>>;

template <typename T>
Readers readersOf(const JsonReader &reader, QString (*text)(const T &))
{
    return {[=] { return text(reader.required<T>("k")); },
            [=] {
                const std::optional<T> value = reader.optional<T>("k");
                return value ? text(*value) : QStringLiteral("<absent>");
            }};
}

QString compactText(const QJsonValue &value)
{
    return QString::fromUtf8(value.isObject() ? QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact)
                                              : QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
}

template <typename T>
QString integerOutcome(const QByteArray &valueText)
{
    return outcome([&] { return QString::number(JsonReader::parse("{\"k\":" + valueText + "}").required<T>("k")); });
}

// Spellings at the edges of the rule: signs, exponents, fractions, 2^53, the 32- and 64-bit
// limits, and values that are no numbers at all.
const QList<QByteArray> kIntegerSpellings{
    "0",
    "-0",
    "-0.0",
    "7",
    "1e3",
    "1E3",
    "1000.0",
    "0.1e1",
    "1.5",
    "-2.5",
    "2e-1",
    "9007199254740991",
    "9007199254740992",
    "9007199254740993",
    "-9007199254740993",
    "9007199254740993.0",
    "9007199254740992.0",
    "2147483647",
    "2147483648",
    "-2147483648",
    "-2147483649",
    "4294967295",
    "4294967296",
    "9223372036854775807",
    "9223372036854775808",
    "-9223372036854775808",
    "-9223372036854775809",
    "9223372036854774784.0",
    "-9223372036854775808.0",
    "9223372036854775807.0",
    "1e18",
    "1e19",
    "123456789012345678901234567890",
    "\"1\"",
    "true",
    "false",
    "null",
    "[]",
    "{}",
    "[1]",
};

}  // namespace

void TextFormatsTest::integerRuleAgreesWithPython()
{
    // python3 states the rule independently: integer literals exactly, other numbers through
    // their double, whole and in range (64 bits: within ±(2^63 - 1)); null, text and booleans are
    // no integers.
    const QList<QByteArray> expected = pythonLines(
        QStringLiteral("import json,sys\n"
                       "ranges=[(-2**63+1,2**63-1),(-2**31,2**31-1),(0,2**32-1)]\n"
                       "for text in sys.stdin.read().split('\\n'):\n"
                       "    v=json.loads(text)\n"
                       "    out=[]\n"
                       "    for lo,hi in ranges:\n"
                       "        if v is None: out.append('null')\n"
                       "        elif isinstance(v,bool) or not isinstance(v,(int,float)): out.append('type')\n"
                       "        elif isinstance(v,float) and not v.is_integer(): out.append('range')\n"
                       "        elif lo<=int(v)<=hi: out.append('ok %d'%int(v))\n"
                       "        else: out.append('range')\n"
                       "    print('|'.join(out))\n"),
        kIntegerSpellings);
    QVERIFY(!expected.isEmpty());
    for (qsizetype i = 0; i < kIntegerSpellings.size(); ++i) {
        const QByteArray &text = kIntegerSpellings[i];
        const QString ours =
            QStringList{integerOutcome<qint64>(text), integerOutcome<qint32>(text), integerOutcome<quint32>(text)}.join(
                QLatin1Char('|'));
        QCOMPARE(ours + QStringLiteral("  <- ") + QString::fromLatin1(text),
                 QString::fromUtf8(expected[i]) + QStringLiteral("  <- ") + QString::fromLatin1(text));
    }
    // -0 is plain zero, not a negative integer that a caller could trip over.
    QCOMPARE(JsonReader::parse(R"({"k":-0.0})").required<quint8>("k"), quint8(0));
}

void TextFormatsTest::requiredAndOptionalFields_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QByteArray>("value");  // the JSON text of field "k"; empty: no such key
    QTest::addColumn<QString>("required");
    QTest::addColumn<QString>("optional");

    const auto row = [](const char *type, const QByteArray &value, const char *required, const char *optional) {
        QTest::addRow("%s %s", type, value.isEmpty() ? "missing" : value.constData())
            << QString::fromLatin1(type) << value << QString::fromUtf8(required) << QString::fromUtf8(optional);
    };
    for (const char *type : {"string", "boolean", "number", "integer", "object", "array", "list", "map"}) {
        row(type, {}, "missing", "absent");
        row(type, "null", "null", "absent");
    }
    row("string", R"("")", "ok ", "ok ");
    row("string", R"("x")", "ok x", "ok x");
    row("string", "1", "type", "type");
    row("string", "[\"x\"]", "type", "type");
    row("boolean", "false", "ok false", "ok false");
    row("boolean", "0", "type", "type");
    row("boolean", R"("true")", "type", "type");
    row("number", "2.5", "ok 2.5", "ok 2.5");
    row("number", "-1e3", "ok -1000", "ok -1000");
    row("number", R"("2.5")", "type", "type");
    row("integer", "1e3", "ok 1000", "ok 1000");
    row("integer", R"("1")", "type", "type");
    row("integer", "0.5", "range", "range");
    row("integer", "true", "type", "type");
    row("object", "{}", "ok {}", "ok {}");
    row("object", R"({"a":[1]})", R"(ok {"a":[1]})", R"(ok {"a":[1]})");
    row("object", "[]", "type", "type");
    row("array", "[]", "ok []", "ok []");
    row("array", R"([1,"a",null])", R"(ok [1,"a",null])", R"(ok [1,"a",null])");
    row("array", "{}", "type", "type");
    row("list", "[]", "ok ", "ok ");
    row("list", R"(["a","b"])", "ok a,b", "ok a,b");
    row("list", R"(["a",1])", "type", "type");
    row("list", R"(["a",null])", "type", "type");
    row("list", R"("a")", "type", "type");
    row("map", "{}", "ok ", "ok ");
    row("map", R"({"b":"2","a":"1"})", "ok a=1,b=2", "ok a=1,b=2");
    row("map", R"({"a":"1","b":{}})", "type", "type");
    row("map", R"(["a"])", "type", "type");
}

void TextFormatsTest::requiredAndOptionalFields()
{
    QFETCH(QString, type);
    QFETCH(QByteArray, value);
    QFETCH(QString, required);
    QFETCH(QString, optional);

    const JsonReader reader =
        JsonReader::parse(value.isEmpty() ? QByteArray("{\"other\":1}") : "{\"k\":" + value + "}");
    const QMap<QString, Readers> readers{
        {QStringLiteral("string"), readersOf<QString>(reader, [](const QString &v) { return v; })},
        {QStringLiteral("boolean"), readersOf<bool>(reader, [](const bool &v) { return QVariant(v).toString(); })},
        {QStringLiteral("number"), readersOf<double>(reader, [](const double &v) { return QString::number(v); })},
        {QStringLiteral("integer"), readersOf<int>(reader, [](const int &v) { return QString::number(v); })},
        {QStringLiteral("object"),
         readersOf<JsonReader>(reader, [](const JsonReader &v) { return compactText(v.json()); })},
        {QStringLiteral("array"), readersOf<QJsonArray>(reader, [](const QJsonArray &v) { return compactText(v); })},
        {QStringLiteral("list"),
         readersOf<QStringList>(reader, [](const QStringList &v) { return v.join(QLatin1Char(',')); })},
        {QStringLiteral("map"), readersOf<QMap<QString, QString>>(reader,
                                                                  [](const QMap<QString, QString> &v) {
                                                                      QStringList pairs;
                                                                      for (auto it = v.begin(); it != v.end(); ++it)
                                                                          pairs.append(it.key() + QLatin1Char('=')
                                                                                       + it.value());
                                                                      return pairs.join(QLatin1Char(','));
                                                                  })},
    };
    const auto &[readRequired, readOptional] = readers.value(type);
    QCOMPARE(outcome(readRequired), required);
    QCOMPARE(outcome(readOptional), optional == QLatin1String("absent") ? QStringLiteral("ok <absent>") : optional);

    // Every failure names the field and says what it should hold.
    try {
        readRequired();
    } catch (const JsonFieldError &error) {
        QCOMPARE(error.key(), QStringLiteral("k"));
        QCOMPARE(error.path(), QStringLiteral("k"));
        QVERIFY(!error.expected().isEmpty());
        QVERIFY(QString::fromUtf8(error.what()).startsWith(QStringLiteral("field \"k\" is ")));
    }
}

void TextFormatsTest::nestedObjectsNameTheirPath()
{
    const JsonReader reader =
        JsonReader::parse(R"({"device":{"id":"d1","posture":{"sip":"on","level":2,"flag":null}}})");
    const JsonReader posture = reader.required<JsonReader>("device").required<JsonReader>("posture");
    QCOMPARE(posture.path(), QStringLiteral("device.posture"));
    QCOMPARE(posture.required<QString>("sip"), QStringLiteral("on"));
    QCOMPARE(posture.required<int>("level"), 2);

    const auto failure = [](const std::function<void()> &read) -> JsonFieldError {
        try {
            read();
        } catch (const JsonFieldError &error) {
            return error;
        }
        return JsonFieldError(JsonProblem::NotJson, QStringLiteral("<no failure>"), {});
    };
    const JsonFieldError wrongType = failure([&] { posture.required<QString>("level"); });
    QCOMPARE(wrongType.problem(), JsonProblem::WrongType);
    QCOMPARE(wrongType.path(), QStringLiteral("device.posture.level"));
    QCOMPARE(wrongType.key(), QStringLiteral("level"));
    QCOMPARE(wrongType.expected(), QStringLiteral("a string"));
    QCOMPARE(wrongType.description(), QStringLiteral("field \"device.posture.level\" is not a string"));

    const JsonFieldError missing =
        failure([&] { reader.required<JsonReader>("device").required<JsonReader>("agent"); });
    QCOMPARE(missing.problem(), JsonProblem::Missing);
    QCOMPARE(missing.path(), QStringLiteral("device.agent"));
    QCOMPARE(missing.expected(), QStringLiteral("an object"));

    const JsonFieldError null = failure([&] { posture.required<bool>("flag"); });
    QCOMPARE(null.problem(), JsonProblem::Null);
    QCOMPARE(null.path(), QStringLiteral("device.posture.flag"));

    // Formats that refuse what they do not know name the first key they do not allow.
    posture.allowOnly({QLatin1StringView("sip"), QLatin1StringView("level"), QLatin1StringView("flag")});
    const JsonFieldError unknown =
        failure([&] { reader.required<JsonReader>("device").allowOnly({QLatin1StringView("id")}); });
    QCOMPARE(unknown.problem(), JsonProblem::UnknownKey);
    QCOMPARE(unknown.path(), QStringLiteral("device.posture"));
    QCOMPARE(unknown.description(), QStringLiteral("field \"device.posture\" is not allowed here"));

    // A nested object read as text is a type error of the outer key.
    const JsonFieldError outer = failure([&] { reader.required<QString>("device"); });
    QCOMPARE(outer.path(), QStringLiteral("device"));
    QCOMPARE(outer.problem(), JsonProblem::WrongType);
}

void TextFormatsTest::documentErrors_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("problem");
    QTest::addColumn<QString>("pythonSays");
    QTest::newRow("empty") << QByteArray() << "not-json"
                           << "not-json";
    QTest::newRow("truncated") << QByteArray(R"({"a":)") << "not-json"
                               << "not-json";
    QTest::newRow("trailing garbage") << QByteArray(R"({"a":1}x)") << "not-json"
                                      << "not-json";
    QTest::newRow("two documents") << QByteArray("{}{}") << "not-json"
                                   << "not-json";
    QTest::newRow("single quotes") << QByteArray("{'a':1}") << "not-json"
                                   << "not-json";
    QTest::newRow("array") << QByteArray("[{}]") << "not-object"
                           << "not-object";
    // The parser takes only an object or an array as a document; python3 also takes a scalar.
    QTest::newRow("string") << QByteArray(R"("{}")") << "not-json"
                            << "not-object";
    QTest::newRow("object with spaces") << QByteArray(" \n{ } \n") << "ok"
                                        << "ok";
    // python3 reads a number beyond the double range as infinity; we refuse the document.
    QTest::newRow("number beyond double") << QByteArray(R"({"a":1e400})") << "not-json"
                                          << "ok";
}

void TextFormatsTest::documentErrors()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, problem);
    QFETCH(QString, pythonSays);
    try {
        JsonReader::parse(bytes);
        QCOMPARE(QStringLiteral("ok"), problem);
    } catch (const JsonFieldError &error) {
        QCOMPARE(outcome([&]() -> QString { throw error; }), problem);
        QVERIFY(error.key().isEmpty());
        QVERIFY(error.problem() != JsonProblem::NotJson || (!error.detail().isEmpty() && error.offset() >= 0));
    }
    // python3 agrees on which documents are JSON objects (but for the row that says otherwise).
    const ProcessResult python = runPython(QStringLiteral("import json,sys\n"
                                                          "try:\n"
                                                          "    v=json.loads(sys.stdin.buffer.read())\n"
                                                          "except ValueError:\n"
                                                          "    print('not-json'); sys.exit(0)\n"
                                                          "print('ok' if isinstance(v,dict) else 'not-object')\n"),
                                           {}, bytes);
    QCOMPARE(QString::fromUtf8(python.standardOutput.trimmed()), pythonSays);
}

void TextFormatsTest::scalarEscapes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << QStringLiteral("abc") << QStringLiteral("\"abc\"");
    QTest::newRow("quote and backslash") << QStringLiteral("a\"b\\c") << QStringLiteral("\"a\\\"b\\\\c\"");
    QTest::newRow("solidus unescaped") << QStringLiteral("a/b") << QStringLiteral("\"a/b\"");
    QTest::newRow("short escapes") << QStringLiteral("\b\f\n\r\t") << QStringLiteral("\"\\b\\f\\n\\r\\t\"");
    QTest::newRow("other controls lower hex")
        << QString(QChar(0x1f)) + QChar(0x01) << QStringLiteral("\"\\u001f\\u0001\"");
    QTest::newRow("non-ascii unchanged") << QStringLiteral("é😀") << QStringLiteral("\"é😀\"");
    QTest::newRow("DEL unchanged") << QString(QChar(0x7f)) << QStringLiteral("\"\x7f\"");
}

void TextFormatsTest::scalarEscapes()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(jsonScalarString(text), expected);
}

void TextFormatsTest::agreesWithPython_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::newRow("record-like") << QByteArray(
        R"({"posture":{"sip_enabled":true,"sip_raw_status":"System Integrity Protection status: enabled.\n"},"hardware_uuid":"ABC","agent":{"generated_at":"2026-01-01T00:00:00Z"},"n":1700000000})");
    QTest::newRow("unicode and controls") << QByteArray(
        "{\"name\":\"Zo\\u00eb's Mac \\u2014 \\ud83d\\ude00\",\"ctl\":\"\\u0007\\u001b/\",\"list\":[null,false,0,-3]}");
    QTest::newRow("keys by code point") << QByteArray(R"({"b":1,"_a":true,"A":null,"a_b":[1,"x"],"ab":2.5})");
    QTest::newRow("nested arrays") << QByteArray(R"([[],{},[{"z":1,"a":[2,{"y":null}]}]])");
}

void TextFormatsTest::agreesWithPython()
{
    QFETCH(QByteArray, json);
    const QJsonDocument document = QJsonDocument::fromJson(json);
    QVERIFY(!document.isNull());
    const QJsonValue value = document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
    const auto ours = stableJSONString(value);
    QVERIFY(ours.has_value());

    const ProcessResult python =
        runPython(QStringLiteral("import json,sys\n"
                                 "v=json.loads(sys.stdin.buffer.read().decode('utf-8'))\n"
                                 "sys.stdout.buffer.write(json.dumps(v,sort_keys=True,separators=(',',':'),ensure_"
                                 "ascii=False).encode('utf-8'))\n"),
                  {}, json);
    QCOMPARE(python.exitCode, 0);
    QCOMPARE(ours->toUtf8(), python.standardOutput);
}

void TextFormatsTest::refusesUndefined()
{
    QVERIFY(!stableJSONString(QJsonValue(QJsonValue::Undefined)).has_value());
    QVERIFY(!stableJSONString(QVariant()).has_value());
}

void TextFormatsTest::sanitizeLog_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<int>("max");
    QTest::addColumn<QString>("expected");

    const QString eAcute = QStringLiteral("e\u0301");                                     // e + combining acute
    const QString family = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467");  // ZWJ sequence
    const QString flag = QStringLiteral("\U0001F1E9\U0001F1EA");                          // regional indicator pair
    const QString thumb = QStringLiteral("\U0001F44D\U0001F3FD");                         // emoji + skin tone

    QTest::newRow("blanks only") << QStringLiteral(" \n\t \r\n ") << 100 << QString();
    QTest::newRow("trimmed") << QStringLiteral("\n  started \t") << 100 << QStringLiteral("started");
    QTest::newRow("lines run together") << QStringLiteral("first\nsecond") << 100 << QStringLiteral("firstsecond");
    QTest::newRow("every control removed")
        << QStringLiteral("a\u0000b\u0007c\u001bd\u001fe\u007ff\rg") << 100 << QStringLiteral("abcdefg");
    QTest::newRow("C1 and other spaces kept inside")
        << QStringLiteral("a\u0085b\u00a0c") << 100 << QStringLiteral("a\u0085b\u00a0c");
    QTest::newRow("trim happens before removal") << QStringLiteral("\u0001 x \u0001") << 100 << QStringLiteral(" x ");
    QTest::newRow("cut") << QStringLiteral("abcdef") << 3 << QStringLiteral("abc");
    QTest::newRow("combining counted once") << eAcute.repeated(5) << 3 << eAcute.repeated(3);
    QTest::newRow("ZWJ family is one") << family + QStringLiteral("xyz") << 2 << family + QStringLiteral("x");
    QTest::newRow("flag is one") << flag.repeated(3) << 2 << flag.repeated(2);
    QTest::newRow("skin tone is one") << thumb.repeated(3) << 1 << thumb;
    QTest::newRow("exactly max") << eAcute.repeated(4) << 4 << eAcute.repeated(4);
    QTest::newRow("control between base and mark") << QStringLiteral("e\u0001\u0301z") << 1 << eAcute;
    QTest::newRow("zero") << QStringLiteral("abc") << 0 << QString();
    QTest::newRow("negative") << QStringLiteral("abc") << -5 << QString();
}

void TextFormatsTest::sanitizeLog()
{
    QFETCH(QString, input);
    QFETCH(int, max);
    QFETCH(QString, expected);
    QCOMPARE(::mornix::sanitizeLog(input, max), expected);
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(TextFormatsTest)
#include "tst_text_formats.moc"
