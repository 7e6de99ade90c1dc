#include "signin/sign_in_window.h"
#include "support/temporary_home.h"
#include "ui/desktop/sign_in_panel.h"

#include <QApplication>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <QCoroTask>

#include <memory>

namespace mornix {

namespace {

using Answer = std::optional<std::optional<SignInRequest>>;  // outer: resolved at all

QCoro::Task<void> collect(SignInWindowController *controller, Answer *out)
{
    *out = co_await controller->present();
}

SignInWindowController::Settings settings(QList<QUrl> *helpOpened = nullptr)
{
    SignInWindowController::Settings s;
    s.defaultAPIBaseURL = QStringLiteral("https://api.veltro.test");
    s.defaultOAuthClientID = QStringLiteral("client-1");
    s.websiteHost = QStringLiteral("veltro.test");
    s.helpPageURL = QUrl(QStringLiteral("https://veltro.test/help"));
    s.openHelpPage = [helpOpened](const QUrl &url) {
        if (helpOpened)
            helpOpened->append(url);
    };
    return s;
}

SignInPanel *panelOf(SignInWindowController *controller)
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        auto *panel = qobject_cast<SignInPanel *>(widget);
        if (panel && panel->deviceLabel()->text() == controller->deviceLine())
            return panel;
    }
    return nullptr;
}

}  // namespace

class SignInPanelTest : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<TemporaryHome> m_home;

private Q_SLOTS:
    void initTestCase() { m_home = std::make_unique<TemporaryHome>(); }

    void deviceNameAndInitialState()
    {
        SignInWindowController controller(QStringLiteral("https://api.veltro.test"), QStringLiteral("Ada's Laptop"), settings());
        SignInPanel panel(&controller);
        QVERIFY(panel.windowFlags() & Qt::WindowStaysOnTopHint);
        QCOMPARE(panel.deviceLabel()->text(), QStringLiteral("CONNECTING  Ada's Laptop"));
        QVERIFY(panel.statusLabel()->isHidden());
    }

    // Two quick presses: present() yields the first method only, and the panel stays open.
    void firstButtonResolvesOnce()
    {
        QList<QUrl> help;
        auto *controller = new SignInWindowController(QStringLiteral("  https://self.hosted.example/api  "),
                                                      QStringLiteral("Mac"), settings(&help));
        SignInPanel::attach(controller);
        Answer answer;
        auto task = collect(controller, &answer);
        SignInPanel *panel = panelOf(controller);
        QVERIFY(panel);
        QVERIFY(QTest::qWaitForWindowExposed(panel));
        QTest::mouseClick(panel->helpLink(), Qt::LeftButton);
        QCOMPARE(help, (QList<QUrl>{QUrl(QStringLiteral("https://veltro.test/help"))}));
        QTest::mouseClick(panel->gitHubButton(), Qt::LeftButton);
        QTest::mouseClick(panel->googleButton(), Qt::LeftButton);
        QTRY_VERIFY(answer.has_value());
        QVERIFY(answer->has_value());
        QCOMPARE((*answer)->method.kind, SignInMethod::Kind::github);
        QCOMPARE((*answer)->apiBaseURL, QStringLiteral("https://self.hosted.example/api"));
        QCOMPARE((*answer)->oauthClientID, std::optional<QString>(QStringLiteral("client-1")));
        QVERIFY(panel->isVisible());
        // Closing afterwards reports nothing more; the panel goes with its controller.
        panel->close();
        QVERIFY(answer->has_value());
        QPointer<SignInPanel> guard(panel);
        delete controller;
        QTRY_VERIFY(!guard);
    }

    void closingFirstResolvesWithNothing()
    {
        SignInWindowController controller(QString(), QStringLiteral("Mac"), settings());
        SignInPanel::attach(&controller);
        Answer answer;
        auto task = collect(&controller, &answer);
        SignInPanel *panel = panelOf(&controller);
        QVERIFY(QTest::qWaitForWindowExposed(panel));
        panel->close();
        QTRY_VERIFY(answer.has_value());
        QVERIFY(!answer->has_value());
        QVERIFY(!controller.isOpen());
    }

    // The flow's progress and failure display, then a new attempt from the same panel.
    void failureLabelThenNewAttempt()
    {
        SignInWindowController controller(QString(), QStringLiteral("Mac"), settings());
        SignInPanel::attach(&controller);
        QList<SignInMethod::Kind> attempts;
        controller.setNewAttemptHandler([&](const SignInRequest &request) { attempts << request.method.kind; });
        Answer answer;
        auto task = collect(&controller, &answer);
        SignInPanel *panel = panelOf(&controller);
        QVERIFY(QTest::qWaitForWindowExposed(panel));
        QTest::mouseClick(panel->googleButton(), Qt::LeftButton);
        QTRY_VERIFY(answer.has_value());

        controller.setButtonsEnabled(false);
        controller.setStatus(QStringLiteral("Waiting for browser sign-in…"), SignInWindowController::LabelColor::secondary);
        QVERIFY(!panel->googleButton()->isEnabled());
        auto *effect = static_cast<QGraphicsOpacityEffect *>(panel->googleButton()->graphicsEffect());
        QCOMPARE(effect->opacity(), 0.55);
        QVERIFY(panel->statusLabel()->isVisible());
        const QColor secondary = panel->statusLabel()->palette().color(QPalette::WindowText);

        controller.setStatus(QStringLiteral("Sign-in failed: denied"), SignInWindowController::LabelColor::red);
        controller.setButtonsEnabled(true);
        QCOMPARE(panel->statusLabel()->text(), QStringLiteral("Sign-in failed: denied"));
        const QColor red = panel->statusLabel()->palette().color(QPalette::WindowText);
        QVERIFY(red != secondary);
        QVERIFY(red.red() > 180 && red.green() < 60);
        QCOMPARE(effect->opacity(), 1.0);

        QTest::mouseClick(panel->gitHubButton(), Qt::LeftButton);
        QCOMPARE(attempts, (QList<SignInMethod::Kind>{SignInMethod::Kind::github}));
        QCOMPARE((*answer)->method.kind, SignInMethod::Kind::google);

        controller.clearStatus();
        QVERIFY(panel->statusLabel()->isHidden());
        controller.orderOutAndClose();
        QVERIFY(!panel->isVisible());
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_MAIN(SignInPanelTest)
#include "tst_sign_in_panel.moc"
