#include "support/text_cleaning.h"

#include <QTest>

namespace mornix {

class TextCleaningTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void sanitizeLog_data();
    void sanitizeLog();
};

void TextCleaningTest::sanitizeLog_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<int>("max");
    QTest::addColumn<QString>("expected");

    const QString eAcute = QStringLiteral("e\u0301");                     // e + combining acute
    const QString family = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467");  // ZWJ sequence
    const QString flag = QStringLiteral("\U0001F1E9\U0001F1EA");          // regional indicator pair
    const QString thumb = QStringLiteral("\U0001F44D\U0001F3FD");         // emoji + skin tone

    QTest::newRow("blanks only") << QStringLiteral(" \n\t \r\n ") << 100 << QString();
    QTest::newRow("trimmed") << QStringLiteral("\n  started \t") << 100 << QStringLiteral("started");
    QTest::newRow("lines run together") << QStringLiteral("first\nsecond") << 100 << QStringLiteral("firstsecond");
    QTest::newRow("every control removed") << QStringLiteral("a\u0000b\u0007c\u001bd\u001fe\u007ff\rg") << 100
                                           << QStringLiteral("abcdefg");
    QTest::newRow("C1 and other spaces kept inside") << QStringLiteral("a\u0085b\u00a0c") << 100
                                                     << QStringLiteral("a\u0085b\u00a0c");
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

void TextCleaningTest::sanitizeLog()
{
    QFETCH(QString, input);
    QFETCH(int, max);
    QFETCH(QString, expected);
    QCOMPARE(::mornix::sanitizeLog(input, max), expected);
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(TextCleaningTest)
#include "tst_text_cleaning.moc"
