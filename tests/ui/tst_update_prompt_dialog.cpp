// The Install/Later question of the updater, shown on the offscreen platform and answered by
// clicking its buttons.
#include "support/recording_system_log.h"
#include "ui/update_prompt_dialog.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

namespace mornix {

class UpdatePromptDialogTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void buttonsGiveTheAnswer_data();
    void buttonsGiveTheAnswer();
};

void UpdatePromptDialogTest::buttonsGiveTheAnswer_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("install");
    QTest::newRow("Install") << "Install" << true;
    QTest::newRow("Later") << "Later" << false;
}

void UpdatePromptDialogTest::buttonsGiveTheAnswer()
{
    QFETCH(QString, button);
    QFETCH(bool, install);
    UpdatePromptDialog dialog(std::make_shared<RecordingSystemLog>());
    std::optional<bool> answer;
    auto ask = [&]() -> QCoro::Task<void> {
        const UpdateOffer offer{QStringLiteral("200"), QStringLiteral("2.0.0"), QStringLiteral("1.4.2")};
        answer = co_await dialog.askToInstall(offer);
    };
    ask();

    QMessageBox *box = nullptr;
    QTRY_VERIFY((box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
                || [&] {
                       for (QWidget *widget : QApplication::topLevelWidgets()) {
                           if (auto *candidate = qobject_cast<QMessageBox *>(widget); candidate && candidate->isVisible())
                               box = candidate;
                       }
                       return box != nullptr;
                   }());
    QCOMPARE(box->text(), QStringLiteral("A new version of Veltro is available"));
    QVERIFY(box->informativeText().contains(QStringLiteral("2.0.0")));
    QVERIFY(box->informativeText().contains(QStringLiteral("1.4.2")));
    QVERIFY(!answer);  // the event loop runs while the question is open
    QPushButton *target = nullptr;
    for (QAbstractButton *candidate : box->buttons()) {
        if (candidate->text() == button)
            target = qobject_cast<QPushButton *>(candidate);
    }
    QVERIFY(target);
    QCOMPARE(box->buttons().size(), 2);
    target->click();
    QTRY_VERIFY(answer.has_value());
    QCOMPARE(*answer, install);
}

}  // namespace mornix

using namespace mornix;

QTEST_MAIN(UpdatePromptDialogTest)
#include "tst_update_prompt_dialog.moc"
