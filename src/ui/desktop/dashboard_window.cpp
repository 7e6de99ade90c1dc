#include "ui/desktop/dashboard_window.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QVBoxLayout>

namespace mornix {

namespace {

const char *const kActionProperty = "dashboardAction";
const char *const kRoleProperty = "cardRole";

struct SectionInfo {
    const char *title;
    const char *themeIcon;
    QStyle::StandardPixmap fallbackIcon;
    const char *subtitle;
};

const SectionInfo &sectionInfo(DashboardWindow::Section section)
{
    static const SectionInfo infos[] = {
        {"Overview", "view-app-grid-symbolic", QStyle::SP_FileDialogListView,
         "Your device, connected clients and command processing."},
        {"Clients", "utilities-terminal-symbolic", QStyle::SP_ComputerIcon,
         "Verified applications and command-line clients running on %1."},
        {"Activity", "document-open-recent-symbolic", QStyle::SP_FileDialogDetailedView,
         "Recent operational updates from this session."},
        {"Settings", "preferences-system-symbolic", QStyle::SP_FileDialogContentsView,
         "Manage %1\u2019s connection and startup preferences."},
    };
    return infos[static_cast<int>(section)];
}

// Text a step quieter than the body text, in light and dark palettes alike.
QColor secondaryTextColor(const QPalette &palette)
{
    const QColor text = palette.color(QPalette::WindowText);
    const QColor window = palette.color(QPalette::Window);
    return QColor::fromRgbF(text.redF() * 0.62f + window.redF() * 0.38f,
                            text.greenF() * 0.62f + window.greenF() * 0.38f,
                            text.blueF() * 0.62f + window.blueF() * 0.38f);
}

bool isDark(const QPalette &palette)
{
    return palette.color(QPalette::Window).lightness() < 128;
}

// Sizes are in device-independent pixels, so the type keeps its proportions to the fixed
// layout metrics on every display.
QFont sizedFont(const QFont &base, int pixelSize, QFont::Weight weight)
{
    QFont font = base;
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

// A rounded card in the palette's base colour with a hairline border.
class CardFrame : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        QPainterPath path;
        path.addRoundedRect(box, 14, 14);
        painter.fillPath(path, palette().color(QPalette::Base));
        QColor border = palette().color(QPalette::WindowText);
        border.setAlphaF(isDark(palette()) ? 0.18f : 0.12f);
        painter.setPen(QPen(border, 1));
        painter.drawPath(path);
    }
};

// The sidebar's background, a shade off the window colour.
class Sidebar : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        const QColor window = palette().color(QPalette::Window);
        painter.fillRect(rect(), isDark(palette()) ? window.lighter(118) : window.darker(104));
        QColor line = palette().color(QPalette::WindowText);
        line.setAlphaF(0.12f);
        painter.setPen(line);
        painter.drawLine(width() - 1, 0, width() - 1, height());
    }
};

}  // namespace

DashboardWindow::DashboardWindow(QString buildLabel, std::shared_ptr<const DeviceTerms> terms,
                                 std::function<void(DashboardAction)> onAction, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_terms(std::move(terms))
    , m_onAction(std::move(onAction))
{
    setWindowTitle(QStringLiteral("VeltroMornix"));
    setObjectName(QStringLiteral("dashboard"));
    resize(980, 700);
    setMinimumSize(800, 580);
    buildLayout(buildLabel);
}

void DashboardWindow::buildLayout(const QString &buildLabel)
{
    auto *root = new QHBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    m_sidebar = new Sidebar(this);
    m_sidebar->setFixedWidth(216);
    auto *side = new QVBoxLayout(m_sidebar);
    side->setContentsMargins(18, 30, 18, 22);
    side->setSpacing(8);
    m_sidebarCaption = new QLabel(QStringLiteral("DEVICE CONTROL"), m_sidebar);
    m_sidebarCaption->setFont(sizedFont(font(), 11, QFont::Bold));
    side->addWidget(m_sidebarCaption);
    side->addSpacing(4);
    for (int i = 0; i < 4; ++i) {
        const SectionInfo &info = sectionInfo(static_cast<Section>(i));
        auto *button =
            new QPushButton(QIcon::fromTheme(QLatin1String(info.themeIcon), style()->standardIcon(info.fallbackIcon)),
                            QString::fromUtf8(info.title), m_sidebar);
        button->setCheckable(true);
        button->setFlat(true);
        button->setFont(sizedFont(font(), 13, QFont::Medium));
        button->setIconSize(QSize(16, 16));
        button->setMinimumHeight(34);
        button->setCursor(Qt::PointingHandCursor);
        button->setStyleSheet(
            QStringLiteral("QPushButton { text-align: left; padding: 6px 10px; border: none; border-radius: 8px; }"));
        button->setProperty("sectionIndex", i);
        connect(button, &QPushButton::clicked, this, [this, i] { selectSection(static_cast<Section>(i)); });
        side->addWidget(button);
        m_navigation.append(button);
    }
    side->addStretch(1);
    m_footer = new QLabel(DeviceTerms::capitalized(m_terms->deviceNoun()) + QStringLiteral("\nBuild ") + buildLabel,
                          m_sidebar);
    m_footer->setFont(sizedFont(font(), 11, QFont::Normal));
    m_footer->setWordWrap(true);
    m_footer->setTextInteractionFlags(Qt::TextSelectableByMouse);
    side->addWidget(m_footer);
    root->addWidget(m_sidebar);

    auto *main = new QWidget(this);
    auto *column = new QVBoxLayout(main);
    column->setContentsMargins(30, 28, 0, 0);
    column->setSpacing(4);
    m_titleLabel = new QLabel(main);
    m_titleLabel->setFont(sizedFont(font(), 22, QFont::Bold));
    m_subtitleLabel = new QLabel(main);
    m_subtitleLabel->setFont(sizedFont(font(), 13, QFont::Normal));
    m_subtitleLabel->setWordWrap(true);
    m_subtitleLabel->setContentsMargins(0, 0, 30, 0);
    column->addWidget(m_titleLabel);
    column->addWidget(m_subtitleLabel);
    column->addSpacing(14);

    m_scroll = new QScrollArea(main);
    m_scroll->setWidgetResizable(true);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_contentHost = new QWidget(m_scroll);
    m_content = new QVBoxLayout(m_contentHost);
    m_content->setContentsMargins(0, 0, 30, 24);
    m_content->setSpacing(12);
    m_content->setAlignment(Qt::AlignTop);
    m_scroll->setWidget(m_contentHost);
    m_scroll->viewport()->setAutoFillBackground(false);
    m_contentHost->setAutoFillBackground(false);
    column->addWidget(m_scroll, 1);
    root->addWidget(main, 1);

    const SectionInfo &info = sectionInfo(m_section);
    m_titleLabel->setText(QString::fromUtf8(info.title));
    m_subtitleLabel->setText(subtitle(m_section));
    m_navigation.first()->setChecked(true);
    applyPalette();
}

void DashboardWindow::applyPalette()
{
    const QPalette pal = palette();
    const QColor secondary = secondaryTextColor(pal);
    for (QLabel *label : {m_subtitleLabel, m_footer, m_sidebarCaption}) {
        QPalette p = label->palette();
        p.setColor(QPalette::WindowText, secondary);
        label->setPalette(p);
    }
    for (QLabel *label : m_contentHost->findChildren<QLabel *>()) {
        const QString role = label->property(kRoleProperty).toString();
        QPalette p = label->palette();
        p.setColor(QPalette::WindowText, role == QLatin1String("caption") || role == QLatin1String("detail")
                                             ? secondary
                                             : pal.color(QPalette::WindowText));
        label->setPalette(p);
    }
    QColor selected = pal.color(QPalette::Highlight);
    selected.setAlphaF(isDark(pal) ? 0.35f : 0.16f);
    const QString sheet =
        QStringLiteral("QPushButton { text-align: left; padding: 6px 10px; border: none; border-radius: 8px; "
                       "color: %1; } QPushButton:checked { background: rgba(%2,%3,%4,%5); }")
            .arg(pal.color(QPalette::WindowText).name())
            .arg(selected.red())
            .arg(selected.green())
            .arg(selected.blue())
            .arg(selected.alpha());
    for (QPushButton *button : m_navigation)
        button->setStyleSheet(sheet);
}

void DashboardWindow::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange && m_contentHost)
        applyPalette();
}

void DashboardWindow::update(const MornixDashboardState &state)
{
    if (m_state && *m_state == state)
        return;
    m_state = state;
    if (isVisible())
        render();
}

void DashboardWindow::selectSection(Section section)
{
    m_scroll->verticalScrollBar()->setValue(0);
    m_section = section;
    render();
}

void DashboardWindow::render()
{
    const SectionInfo &info = sectionInfo(m_section);
    m_titleLabel->setText(QString::fromUtf8(info.title));
    m_subtitleLabel->setText(subtitle(m_section));
    for (int i = 0; i < m_navigation.size(); ++i)
        m_navigation[i]->setChecked(i == static_cast<int>(m_section));
    if (!m_state)
        return;
    ++m_renderCount;
    while (QLayoutItem *item = m_content->takeAt(0)) {
        if (QWidget *widget = item->widget()) {
            widget->hide();
            widget->deleteLater();
        }
        delete item;
    }
    switch (m_section) {
    case Section::overview: renderOverview(*m_state); break;
    case Section::clients: renderClients(*m_state); break;
    case Section::activity: renderActivity(*m_state); break;
    case Section::settings: renderSettings(*m_state); break;
    }
    applyPalette();
}

QWidget *DashboardWindow::card(const QString &caption, const QString &detail, const QString &value,
                               const QString &actionTitle, std::optional<DashboardAction> action)
{
    auto *frame = new CardFrame(m_contentHost);
    frame->setObjectName(QStringLiteral("card"));
    auto *stack = new QVBoxLayout(frame);
    stack->setContentsMargins(20, 20, 20, 20);
    stack->setSpacing(10);

    auto addLabel = [&](const QString &text, int size, QFont::Weight weight, const char *role) {
        auto *label = new QLabel(text, frame);
        label->setFont(sizedFont(font(), size, weight));
        label->setWordWrap(true);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        label->setProperty(kRoleProperty, QString::fromLatin1(role));
        stack->addWidget(label);
    };
    addLabel(caption, 12, QFont::DemiBold, "caption");
    if (!value.isEmpty())
        addLabel(value, 25, QFont::Bold, "value");
    addLabel(detail, 13, QFont::Normal, "detail");
    if (action) {
        stack->addSpacing(2);
        stack->addWidget(actionButton(actionTitle, *action), 0, Qt::AlignLeft);
    }
    m_content->addWidget(frame);
    return frame;
}

QPushButton *DashboardWindow::actionButton(const QString &title, DashboardAction action)
{
    auto *button = new QPushButton(title, m_contentHost);
    button->setAccessibleName(title);
    button->setProperty(kActionProperty, static_cast<int>(action));
    button->setMinimumHeight(30);
    button->setCursor(Qt::PointingHandCursor);
    connect(button, &QPushButton::clicked, this, [this, action] {
        if (m_onAction)
            m_onAction(action);
    });
    return button;
}

QString DashboardWindow::titleText() const
{
    return m_titleLabel->text();
}

QString DashboardWindow::subtitle(Section section) const
{
    QString text = QString::fromUtf8(sectionInfo(section).subtitle);
    return text.replace(QLatin1String("%1"), m_terms->deviceNoun());
}

QString DashboardWindow::subtitleText() const
{
    return m_subtitleLabel->text();
}

QPushButton *DashboardWindow::sectionButton(Section section) const
{
    return m_navigation.value(static_cast<int>(section));
}

QList<DashboardWindow::RenderedCard> DashboardWindow::renderedCards() const
{
    QList<RenderedCard> cards;
    for (int i = 0; i < m_content->count(); ++i) {
        QWidget *frame = m_content->itemAt(i)->widget();
        if (!frame || frame->objectName() != QLatin1String("card"))
            continue;
        RenderedCard card;
        for (QLabel *label : frame->findChildren<QLabel *>(Qt::FindDirectChildrenOnly)) {
            const QString role = label->property(kRoleProperty).toString();
            if (role == QLatin1String("caption"))
                card.caption = label->text();
            else if (role == QLatin1String("value"))
                card.value = label->text();
            else if (role == QLatin1String("detail"))
                card.detail = label->text();
        }
        if (auto *button = frame->findChild<QPushButton *>()) {
            card.actionTitle = button->text();
            card.action = static_cast<DashboardAction>(button->property(kActionProperty).toInt());
        }
        cards.append(card);
    }
    return cards;
}

QList<QPushButton *> DashboardWindow::trailingButtons() const
{
    QList<QPushButton *> buttons;
    for (int i = 0; i < m_content->count(); ++i) {
        if (auto *button = qobject_cast<QPushButton *>(m_content->itemAt(i)->widget()))
            buttons.append(button);
    }
    return buttons;
}

}  // namespace mornix
