// Writes PNGs of every dashboard section and of the sign-in panel in the states a person meets
// (signed out, pending approval, connected with clients, paused, a failed sign-in), in the light
// and a dark palette, into the directory named by MORNIX_SCREENSHOT_DIR. Run it once per scale
// (QT_SCALE_FACTOR). It checks each picture for what a look would catch first: the right pixel
// size, no text cut off, and text that stands out from its background.
#include "platform/linux/device/linux_device_terms.h"
#include "platform/linux/modules/platform_modules.h"
#include "platform/linux/keychain/selecting_keychain.h"
#include "signin/sign_in_window.h"
#include "support/temporary_home.h"
#include "ui/desktop/dashboard_window.h"
#include "ui/desktop/desktop_controller_ui.h"
#include "ui/desktop/sign_in_panel.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <QPushButton>
#include <QStyle>
#include <QStyleFactory>

#include <cmath>
#include <QTest>

#include <QCoroTask>

#include <memory>

namespace mornix {

namespace {

QPalette darkPalette()
{
    QPalette p;
    p.setColor(QPalette::Window, QColor(0x24, 0x24, 0x27));
    p.setColor(QPalette::WindowText, QColor(0xec, 0xec, 0xee));
    p.setColor(QPalette::Base, QColor(0x30, 0x30, 0x34));
    p.setColor(QPalette::AlternateBase, QColor(0x38, 0x38, 0x3c));
    p.setColor(QPalette::Text, QColor(0xec, 0xec, 0xee));
    p.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3f));
    p.setColor(QPalette::ButtonText, QColor(0xec, 0xec, 0xee));
    p.setColor(QPalette::Highlight, QColor(0x3d, 0x84, 0xf7));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::PlaceholderText, QColor(0x9a, 0x9a, 0xa0));
    p.setColor(QPalette::Light, QColor(0x50, 0x50, 0x55));
    p.setColor(QPalette::Midlight, QColor(0x44, 0x44, 0x48));
    p.setColor(QPalette::Mid, QColor(0x30, 0x30, 0x33));
    p.setColor(QPalette::Dark, QColor(0x1a, 0x1a, 0x1c));
    p.setColor(QPalette::Shadow, Qt::black);
    return p;
}

MornixDashboardState stateNamed(const QString &name)
{
    MornixDashboardState s;
    const QDateTime start(QDate(2026, 12, 7), QTime(9, 41));
    s.activity = {{QStringLiteral("Device control started"), start}};
    if (name == QLatin1String("pending")) {
        s.pendingApproval = true;
        s.inventoryReady = true;
        s.activity.append({QStringLiteral("Device enrollment updated"), start.addSecs(40)});
    } else if (name == QLatin1String("connected") || name == QLatin1String("paused")
               || name == QLatin1String("journal-in-memory")) {
        s.signedIn = true;
        s.connected = true;
        s.inventoryReady = true;
        s.launchAtLogin = true;
        s.clients = {{QStringLiteral("Claude Code"), QStringLiteral("Command-line client"), 2},
                     {QStringLiteral("Claude Desktop"), QStringLiteral("Application"), 1},
                     {QStringLiteral("Codex"), QStringLiteral("Command-line client"), 1}};
        s.activity.append({QStringLiteral("Connected to Veltro"), start.addSecs(65)});
        s.activity.append({QStringLiteral("Client inventory updated"), start.addSecs(70)});
        s.activity.append({QStringLiteral("Device command processed"), start.addSecs(600)});
        if (name == QLatin1String("journal-in-memory")) {
            s.commandJournalProblem =
                QStringLiteral("/home/ada/.local/share/VeltroMornix/Commands is owned by another user");
            s.activity.append({QStringLiteral("Command journal kept in memory only"), start.addSecs(620)});
        }
        if (name == QLatin1String("paused")) {
            s.paused = true;
            s.activity.append({QStringLiteral("Command processing paused"), start.addSecs(660)});
        }
    }
    return s;
}

// Relative luminance contrast of two colours (1 to 21).
double contrast(const QColor &a, const QColor &b)
{
    auto lum = [](const QColor &c) {
        auto ch = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * ch(c.redF()) + 0.7152 * ch(c.greenF()) + 0.0722 * ch(c.blueF());
    };
    double la = lum(a), lb = lum(b);
    if (la < lb)
        std::swap(la, lb);
    return (la + 0.05) / (lb + 0.05);
}

QCoro::Task<void> presentPanel(SignInWindowController *controller)
{
    co_await controller->present();
}

}  // namespace

class UIScreenshotsTest : public QObject {
    Q_OBJECT
private:
    QDir m_out;
    std::unique_ptr<TemporaryHome> m_home;
    // The Linux words with the Secret Service in use, as on a desktop session.
    std::shared_ptr<const DeviceTerms> m_terms;

    void save(QWidget *widget, const QString &name)
    {
        // Layout requests cascade (cards, scroll area, window): let them all settle.
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents();
        checkNothingClipped(widget);
        const QPixmap shot = widget->grab();
        const qreal scale = widget->devicePixelRatioF();
        QCOMPARE(shot.size(), (QSizeF(widget->size()) * scale).toSize());
        QVERIFY2(shot.save(m_out.filePath(name + QStringLiteral(".png"))), qPrintable(name));
    }

    // No label or button is cut off horizontally.
    static void checkNothingClipped(QWidget *root)
    {
        for (QLabel *label : root->findChildren<QLabel *>()) {
            if (label->isVisible() && !label->wordWrap())
                QVERIFY2(label->width() >= label->sizeHint().width(), qPrintable(label->text()));
        }
        for (QPushButton *button : root->findChildren<QPushButton *>()) {
            if (button->isVisible())
                QVERIFY2(button->width() >= button->sizeHint().width(), qPrintable(button->text()));
        }
    }

    // Every visible label's text colour stands out from the colour behind it.
    void checkLabelContrast(QWidget *root, const QColor &background)
    {
        for (QLabel *label : root->findChildren<QLabel *>()) {
            if (!label->isVisible() || label->text().isEmpty())
                continue;
            const QColor text = label->palette().color(QPalette::WindowText);
            QVERIFY2(contrast(text, background) >= 4.5,
                     qPrintable(label->text() + QStringLiteral(": contrast %1").arg(contrast(text, background))));
        }
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_home = std::make_unique<TemporaryHome>();
        const QString dir = qEnvironmentVariable("MORNIX_SCREENSHOT_DIR");
        QVERIFY2(!dir.isEmpty(), "MORNIX_SCREENSHOT_DIR names the output directory");
        QVERIFY(QDir().mkpath(dir));
        m_out = QDir(dir);
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        m_terms = std::make_shared<LinuxDeviceTerms>(std::make_shared<SelectingKeychain>(
            secret_service::Client(std::make_shared<PlatformModules>(m_home->path() + QStringLiteral("/none.app"),
                                                                     QByteArray(), ModuleSigner{}, nullptr)),
            SelectingKeychain::Backend::secretService));
    }

    void dashboard_data()
    {
        QTest::addColumn<QString>("stateName");
        QTest::addColumn<bool>("dark");
        for (const char *name : {"signed-out", "pending", "connected", "paused", "journal-in-memory"}) {
            QTest::newRow(name) << QString::fromLatin1(name) << false;
            QTest::newRow(qPrintable(QStringLiteral("%1-dark").arg(QLatin1String(name))))
                << QString::fromLatin1(name) << true;
        }
    }
    void dashboard()
    {
        QFETCH(QString, stateName);
        QFETCH(bool, dark);
        const QPalette palette = dark ? darkPalette() : QApplication::style()->standardPalette();
        QApplication::setPalette(palette);
        DashboardWindow window(QStringLiteral("1.4.0 (212)"), m_terms, {});
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.update(stateNamed(stateName));
        const QStringList sections{"overview", "clients", "activity", "settings"};
        for (int i = 0; i < 4; ++i) {
            window.selectSection(static_cast<DashboardWindow::Section>(i));
            QCoreApplication::processEvents();
            checkLabelContrast(&window, palette.color(QPalette::Base));
            save(&window, QStringLiteral("dashboard-%1-%2%3").arg(sections[i], stateName, dark ? "-dark" : ""));
        }
        // The smallest window: nothing cut off in any section; the fullest one is kept.
        window.resize(window.minimumSize());
        for (int i = 0; i < 4; ++i) {
            window.selectSection(static_cast<DashboardWindow::Section>(i));
            QCoreApplication::processEvents();
            checkNothingClipped(&window);
        }
        save(&window, QStringLiteral("dashboard-settings-%1-minimum%2").arg(stateName, dark ? "-dark" : ""));
    }

    void signInPanel_data()
    {
        QTest::addColumn<QString>("stateName");
        QTest::newRow("ready") << "ready";
        QTest::newRow("waiting") << "waiting";
        QTest::newRow("failure") << "failure";
    }
    void signInPanel()
    {
        QFETCH(QString, stateName);
        QApplication::setPalette(QApplication::style()->standardPalette());
        SignInWindowController::Settings settings;
        settings.defaultAPIBaseURL = QStringLiteral("https://api.veltro.test");
        SignInWindowController controller(QString(), QStringLiteral("Ada's MacBook Pro"), settings);
        SignInPanel panel(&controller, *m_terms);
        auto task = presentPanel(&controller);
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        if (stateName == QLatin1String("waiting")) {
            controller.setButtonsEnabled(false);
            controller.setStatus(QStringLiteral("Complete sign-in in your browser\u2026"),
                                 SignInWindowController::LabelColor::secondary);
        } else if (stateName == QLatin1String("failure")) {
            controller.setStatus(QStringLiteral("Sign-in failed while registering device: the service is unreachable"),
                                 SignInWindowController::LabelColor::red);
        }
        checkLabelContrast(&panel, Qt::white);
        save(&panel, QStringLiteral("sign-in-%1").arg(stateName));
        controller.windowWillClose();
    }

    void disconnectDialog()
    {
        QApplication::setPalette(QApplication::style()->standardPalette());
        DesktopControllerUI::Options options;
        options.terms = m_terms;
        options.trayAvailable = [] { return false; };
        DesktopControllerUI ui(options);
        bool saved = false;
        QTimer::singleShot(0, this, [this, &saved] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            save(box, QStringLiteral("disconnect-dialog"));
            saved = true;
            box->reject();
        });
        QVERIFY(!ui.confirmDisconnect());
        QVERIFY(saved);
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_MAIN(UIScreenshotsTest)
#include "ui_screenshots.moc"
