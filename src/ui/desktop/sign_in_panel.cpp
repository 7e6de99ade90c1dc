#include "ui/desktop/sign_in_panel.h"

#include "platform/device_terms.h"
#include "signin/sign_in_window.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QGraphicsOpacityEffect>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>

namespace mornix {

namespace {

constexpr int kPanelWidth = 620;
constexpr int kPanelHeight = 520;
constexpr int kCardHeight = 390;

const QColor kSecondary(0x6e, 0x6e, 0x73);
const QColor kRed(0xd7, 0x00, 0x15);

// Frames are laid out from the card's bottom-left corner (x, y up); widgets count from the top.
QRect onCard(int x, int y, int width, int height)
{
    return QRect(x, kCardHeight - y - height, width, height);
}

QFont pixelFont(int pixels, QFont::Weight weight, bool monospaced = false)
{
    QFont font = monospaced ? QFontDatabase::systemFont(QFontDatabase::FixedFont) : QGuiApplication::font();
    font.setPixelSize(pixels);
    font.setWeight(weight);
    return font;
}

void setTextColor(QWidget *widget, const QColor &color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::ButtonText, color);
    palette.setColor(QPalette::Text, color);
    widget->setPalette(palette);
}

// The white card with its heavy black outline.
class Card : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF box = QRectF(rect()).adjusted(2.5, 2.5, -2.5, -2.5);
        QPainterPath path;
        path.addRoundedRect(box, 40 - 2.5, 40 - 2.5);
        painter.fillPath(path, Qt::white);
        painter.setPen(QPen(Qt::black, 5));
        painter.drawPath(path);
    }
};

QPushButton *makeButton(const QString &title, QWidget *parent)
{
    auto *button = new QPushButton(title, parent);
    button->setFont(pixelFont(17, QFont::Bold));
    button->setCursor(Qt::PointingHandCursor);
    button->setAccessibleName(title);
    button->setStyleSheet(
        QStringLiteral("QPushButton { background: black; color: white; border: none; border-radius: 17px; }"
                       "QPushButton:hover { background: #262626; }"
                       "QPushButton:pressed { background: #404040; }"
                       "QPushButton:disabled { color: white; }"));
    button->setGraphicsEffect(new QGraphicsOpacityEffect(button));
    return button;
}

}  // namespace

SignInPanel::SignInPanel(SignInWindowController *controller, const DeviceTerms &terms)
    : QWidget(nullptr, Qt::Dialog | Qt::WindowStaysOnTopHint)
    , m_controller(controller)
{
    setObjectName(QStringLiteral("signInPanel"));
    setWindowTitle(QStringLiteral("Sign in to Veltro"));
    setFixedSize(kPanelWidth, kPanelHeight);
    setAttribute(Qt::WA_DeleteOnClose, false);
    setAutoFillBackground(true);
    QPalette background = palette();
    background.setColor(QPalette::Window, Qt::white);
    setPalette(background);

    m_card = new Card(this);
    m_card->setGeometry(30, kPanelHeight - 55 - kCardHeight, 560, kCardHeight);

    auto *eyebrow = new QLabel(QStringLiteral("VELTRO DESKTOP"), m_card);
    eyebrow->setGeometry(onCard(36, 334, 250, 18));
    eyebrow->setFont(pixelFont(12, QFont::Bold, true));
    setTextColor(eyebrow, kSecondary);

    auto *title = new QLabel(QStringLiteral("Sign in to Veltro"), m_card);
    title->setGeometry(onCard(36, 270, 488, 58));
    title->setFont(pixelFont(44, QFont::Black));
    setTextColor(title, Qt::black);

    auto *explanation = new QLabel(
        QStringLiteral("Use your Veltro account to securely connect %1. Your browser handles authentication; "
                       "Mornix receives a short-lived authorization code protected by PKCE.")
            .arg(terms.deviceNoun()),
        m_card);
    explanation->setGeometry(onCard(36, 204, 488, 58));
    explanation->setFont(pixelFont(15, QFont::Medium));
    explanation->setWordWrap(true);
    explanation->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setTextColor(explanation, kSecondary);

    m_device = new QLabel(controller->deviceLine(), m_card);
    m_device->setGeometry(onCard(36, 178, 488, 16));
    m_device->setFont(pixelFont(11, QFont::Bold, true));
    setTextColor(m_device, kSecondary);

    m_google = makeButton(QStringLiteral("Continue with Google"), m_card);
    m_google->setGeometry(onCard(36, 112, 488, 54));
    m_gitHub = makeButton(QStringLiteral("Continue with GitHub"), m_card);
    m_gitHub->setGeometry(onCard(36, 50, 488, 54));

    m_status = new QLabel(m_card);
    m_status->setGeometry(onCard(36, 18, 488, 24));
    m_status->setFont(pixelFont(12, QFont::Medium, true));
    m_status->setAlignment(Qt::AlignCenter);
    m_status->setWordWrap(true);
    m_status->hide();

    m_help = new QPushButton(QStringLiteral("Help"), m_card);
    m_help->setGeometry(onCard(460, 332, 64, 18));
    m_help->setFont(pixelFont(12, QFont::Bold, true));
    m_help->setFlat(true);
    m_help->setCursor(Qt::PointingHandCursor);
    m_help->setStyleSheet(
        QStringLiteral("QPushButton { border: none; background: transparent; color: #6e6e73; text-align: right; }"
                       "QPushButton:hover { color: black; text-decoration: underline; }"));

    const QPointer<SignInWindowController> target(controller);
    connect(m_google, &QPushButton::clicked, this, [target] {
        if (target)
            target->signInGoogle();
    });
    connect(m_gitHub, &QPushButton::clicked, this, [target] {
        if (target)
            target->signInGitHub();
    });
    connect(m_help, &QPushButton::clicked, this, [target] {
        if (target)
            target->openHelp();
    });
    connect(controller, &SignInWindowController::presented, this, &SignInPanel::presentInFront);
    connect(controller, &SignInWindowController::changed, this, &SignInPanel::sync);
    connect(controller, &SignInWindowController::closed, this, &QWidget::hide);
    connect(controller, &QObject::destroyed, this, &QObject::deleteLater);
    sync();
}

void SignInPanel::attach(SignInWindowController *controller, const DeviceTerms &terms)
{
    new SignInPanel(controller, terms);
}

void SignInPanel::presentInFront()
{
    if (QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    show();
    raise();
    activateWindow();
}

void SignInPanel::sync()
{
    if (!m_controller)
        return;
    const bool enabled = m_controller->buttonsEnabled();
    for (QPushButton *button : {m_google, m_gitHub}) {
        button->setEnabled(enabled);
        static_cast<QGraphicsOpacityEffect *>(button->graphicsEffect())->setOpacity(m_controller->buttonAlpha());
    }
    m_status->setText(m_controller->statusText());
    setTextColor(m_status, m_controller->statusColor() == SignInWindowController::LabelColor::red ? kRed : kSecondary);
    m_status->setVisible(m_controller->statusVisible());
    if (!m_controller->isOpen() && isVisible())
        hide();
}

void SignInPanel::closeEvent(QCloseEvent *event)
{
    QWidget::closeEvent(event);
    if (m_controller && m_controller->isOpen())
        m_controller->windowWillClose();
}

}  // namespace mornix
