#include "ui/desktop/dashboard_window.h"

#include <QApplication>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QTest>

namespace mornix {

namespace {

MornixDashboardState signedInState()
{
    MornixDashboardState state;
    state.signedIn = true;
    state.connected = true;
    state.inventoryReady = true;
    return state;
}

QStringList captions(const QList<DashboardWindow::RenderedCard> &cards)
{
    QStringList out;
    for (const auto &card : cards)
        out << card.caption;
    return out;
}

}  // namespace

class DashboardWindowTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Equal states render once; a hidden window stores the state and renders nothing until shown.
    void rendersOncePerDistinctStateOnlyWhileVisible()
    {
        DashboardWindow window(QStringLiteral("dev"), {});
        window.update(signedInState());
        QCOMPARE(window.renderCount(), 0);
        QVERIFY(window.renderedCards().isEmpty());
        window.render();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.renderCount(), 1);
        window.update(signedInState());
        QCOMPARE(window.renderCount(), 1);
        MornixDashboardState paused = signedInState();
        paused.paused = true;
        window.update(paused);
        QCOMPARE(window.renderCount(), 2);
        window.hide();
        window.update(signedInState());
        QCOMPARE(window.renderCount(), 2);
        QCOMPARE(window.renderedCards().first().value, QStringLiteral("Processing paused"));
    }

    void renderBeforeFirstStateDoesNothing()
    {
        DashboardWindow window(QStringLiteral("dev"), {});
        window.show();
        window.render();
        QCOMPARE(window.renderCount(), 0);
        QCOMPARE(window.titleText(), QStringLiteral("Overview"));
    }

    void overviewConnectionValues_data()
    {
        QTest::addColumn<bool>("paused");
        QTest::addColumn<bool>("connected");
        QTest::addColumn<bool>("pending");
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("action");
        QTest::newRow("paused wins") << true << true << false << true << "Processing paused" << "Open workspace";
        QTest::newRow("connected") << false << true << false << true << "Connected to Veltro" << "Open workspace";
        QTest::newRow("pending") << false << false << true << false << "Awaiting approval" << "Sign in to Veltro";
        QTest::newRow("reconnecting") << false << false << false << true << "Reconnecting" << "Open workspace";
        QTest::newRow("signed out") << false << false << false << false << "Sign in required" << "Sign in to Veltro";
    }
    void overviewConnectionValues()
    {
        QFETCH(bool, paused);
        QFETCH(bool, connected);
        QFETCH(bool, pending);
        QFETCH(bool, signedIn);
        QFETCH(QString, value);
        QFETCH(QString, action);
        DashboardWindow window(QStringLiteral("dev"), {});
        window.show();
        MornixDashboardState state;
        state.paused = paused;
        state.connected = connected;
        state.pendingApproval = pending;
        state.signedIn = signedIn;
        window.update(state);
        const auto cards = window.renderedCards();
        QCOMPARE(captions(cards), (QStringList{"CONNECTION", "RUNNING CLIENTS", "COMMAND PROCESSING"}));
        QCOMPARE(cards[0].value, value);
        QCOMPARE(cards[0].actionTitle, action);
        QCOMPARE(cards[1].value, QStringLiteral("Checking clients\u2026"));
        QCOMPARE(cards[2].value, paused ? QStringLiteral("Paused") : QStringLiteral("Active"));
        QCOMPARE(cards[2].actionTitle, paused ? QStringLiteral("Resume processing") : QStringLiteral("Pause processing"));
    }

    // Counts 1 and 2: singular and plural wording, and the overview's total.
    void clientsWordingAndTotal()
    {
        DashboardWindow window(QStringLiteral("dev"), {});
        window.show();
        MornixDashboardState state = signedInState();
        state.clients = {{"Claude Code", "Command-line client", 2}, {"Claude Desktop", "Application", 1}};
        window.update(state);
        QCOMPARE(window.renderedCards()[1].value, QStringLiteral("3 running"));

        window.selectSection(DashboardWindow::Section::clients);
        QVERIFY(window.sectionButton(DashboardWindow::Section::clients)->isChecked());
        QVERIFY(!window.sectionButton(DashboardWindow::Section::overview)->isChecked());
        const auto cards = window.renderedCards();
        QCOMPARE(cards.size(), 2);
        QCOMPARE(cards[0].caption, QStringLiteral("COMMAND-LINE CLIENT"));
        QCOMPARE(cards[0].value, QStringLiteral("Claude Code"));
        QCOMPARE(cards[0].detail, QStringLiteral("2 running instances \u00b7 Verified signature"));
        QCOMPARE(cards[1].caption, QStringLiteral("APPLICATION"));
        QCOMPARE(cards[1].detail, QStringLiteral("1 running instance \u00b7 Verified signature"));
        QVERIFY(!cards[1].action);

        state.clients.clear();
        window.update(state);
        QCOMPARE(window.renderedCards().size(), 1);
        QCOMPARE(window.renderedCards()[0].value, QStringLiteral("No verified clients running"));
        state.inventoryReady = false;
        window.update(state);
        QCOMPARE(window.renderedCards()[0].value, QStringLiteral("Checking clients\u2026"));
    }

    void activityNewestFirstWithLocaleDates()
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        DashboardWindow window(QStringLiteral("dev"), {});
        window.show();
        MornixDashboardState state;
        window.update(state);
        window.selectSection(DashboardWindow::Section::activity);
        QCOMPARE(window.renderedCards()[0].value, QStringLiteral("No recent updates"));

        const QDateTime first(QDate(2026, 3, 4), QTime(9, 5));
        state.activity = {{"Device control started", first}, {"Connected to Veltro", first.addSecs(60)}};
        window.update(state);
        const auto cards = window.renderedCards();
        QCOMPARE(cards.size(), 2);
        QCOMPARE(cards[0].detail, QStringLiteral("Connected to Veltro"));
        QCOMPARE(cards[1].detail, QStringLiteral("Device control started"));
        QVERIFY(cards[0].value.isEmpty());
        QCOMPARE(cards[1].caption, DashboardWindow::activityDateText(first, QLocale()));
        QLocale::setDefault(QLocale::system());
    }

    void activityDatesFollowTheLocale()
    {
        const QDateTime when(QDate(2026, 12, 7), QTime(14, 30));
        const QString us = DashboardWindow::activityDateText(when, QLocale(QLocale::English, QLocale::UnitedStates));
        QVERIFY2(us.startsWith(QStringLiteral("Dec 7, 2026")), qPrintable(us));
        QVERIFY2(us.contains(QStringLiteral("2:30")) && us.contains(QStringLiteral("PM")), qPrintable(us));
        const QString de = DashboardWindow::activityDateText(when, QLocale(QLocale::German, QLocale::Germany));
        QVERIFY2(de.contains(QStringLiteral("14:30")) && de.contains(QStringLiteral("Dez")) && !de.contains(QStringLiteral("Montag")),
                 qPrintable(de));
    }

    void settingsDisconnectOnlyWhenLinkedOrPending()
    {
        DashboardWindow window(QStringLiteral("dev"), {});
        window.show();
        window.selectSection(DashboardWindow::Section::settings);
        window.update(MornixDashboardState{});
        QCOMPARE(captions(window.renderedCards()), (QStringList{"ACCOUNT", "STARTUP", "DIAGNOSTICS"}));
        QCOMPARE(window.renderedCards()[0].value, QStringLiteral("Not connected"));
        QCOMPARE(window.renderedCards()[1].actionTitle, QStringLiteral("Enable launch at login"));

        MornixDashboardState pending;
        pending.pendingApproval = true;
        pending.launchAtLogin = true;
        window.update(pending);
        auto cards = window.renderedCards();
        QCOMPARE(captions(cards), (QStringList{"ACCOUNT", "STARTUP", "DIAGNOSTICS", "DISCONNECT THIS MAC"}));
        QCOMPARE(cards[0].value, QStringLiteral("Approval pending"));
        QCOMPARE(cards[1].actionTitle, QStringLiteral("Disable launch at login"));

        window.update(signedInState());
        cards = window.renderedCards();
        QCOMPARE(cards[0].value, QStringLiteral("Device linked"));
        QCOMPARE(cards.size(), 4);
    }

    // Every button press reaches the handler with its action.
    void actionsReachTheHandler()
    {
        QList<DashboardAction> received;
        DashboardWindow window(QStringLiteral("dev"), [&](DashboardAction action) { received << action; });
        window.show();
        MornixDashboardState state = signedInState();
        window.update(state);
        for (int s = 0; s < 4; ++s) {
            window.selectSection(static_cast<DashboardWindow::Section>(s));
            QCoreApplication::processEvents();
            for (QPushButton *button : window.findChildren<QPushButton *>()) {
                if (button->property("dashboardAction").isValid() && button->isVisible())
                    QTest::mouseClick(button, Qt::LeftButton);
            }
        }
        state.signedIn = false;
        window.update(state);
        QCoreApplication::processEvents();
        for (QPushButton *button : window.findChildren<QPushButton *>()) {
            if (button->text() == QStringLiteral("Sign in to Veltro") && button->isVisible())
                QTest::mouseClick(button, Qt::LeftButton);
        }
        for (DashboardAction action : {DashboardAction::signIn, DashboardAction::pause, DashboardAction::launchAtLogin,
                                       DashboardAction::logs, DashboardAction::disconnect, DashboardAction::refresh,
                                       DashboardAction::workspace})
            QVERIFY2(received.contains(action), qPrintable(QString::number(static_cast<int>(action))));
    }

    // At the minimum size no label is cut off horizontally.
    void nothingClippedAtMinimumSize()
    {
        DashboardWindow window(QStringLiteral("1.0.0 (100)"), {});
        window.resize(window.minimumSize());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        MornixDashboardState state = signedInState();
        state.pendingApproval = true;
        window.update(state);
        for (int s = 0; s < 4; ++s) {
            window.selectSection(static_cast<DashboardWindow::Section>(s));
            QCoreApplication::processEvents();
            for (QLabel *label : window.findChildren<QLabel *>()) {
                if (!label->isVisible() || label->wordWrap())
                    continue;
                QVERIFY2(label->width() >= label->sizeHint().width(), qPrintable(label->text()));
            }
            for (QPushButton *button : window.findChildren<QPushButton *>()) {
                if (button->isVisible())
                    QVERIFY2(button->width() >= button->sizeHint().width(), qPrintable(button->text()));
            }
        }
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_MAIN(DashboardWindowTest)
#include "tst_dashboard_window.moc"
