// The Install/Later question of the updater, shown on the offscreen platform and answered by
// clicking its buttons.
#include "support/recording_system_log.h"
#include "ui/update_prompt_dialog.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include <algorithm>

namespace mornix {

class UpdatePromptDialogTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void buttonsGiveTheAnswer_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<bool>("install");
        QTest::newRow("Install") << "Install" << true;
        QTest::newRow("Later") << "Later" << false;
    }

    void buttonsGiveTheAnswer()
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

        const auto shownBox = [] {
            for (QWidget *widget : QApplication::topLevelWidgets()) {
                if (auto *box = qobject_cast<QMessageBox *>(widget); box && box->isVisible())
                    return box;
            }
            return static_cast<QMessageBox *>(nullptr);
        };
        QTRY_VERIFY(shownBox());
        QMessageBox *box = shownBox();
        QCOMPARE(box->text(), QStringLiteral("A new version of Veltro is available"));
        QVERIFY(box->informativeText().contains(QStringLiteral("2.0.0")));
        QVERIFY(box->informativeText().contains(QStringLiteral("1.4.2")));
        QVERIFY(!answer);  // the event loop runs while the question is open
        QCOMPARE(box->buttons().size(), 2);
        const auto buttons = box->buttons();
        const auto target =
            std::find_if(buttons.begin(), buttons.end(), [&](QAbstractButton *b) { return b->text() == button; });
        QVERIFY(target != buttons.end());
        (*target)->click();
        QTRY_VERIFY(answer.has_value());
        QCOMPARE(*answer, install);
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_MAIN(UpdatePromptDialogTest)
#include "tst_update_prompt_dialog.moc"
