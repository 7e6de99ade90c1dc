#pragma once

#include "core/dashboard_state.h"
#include "platform/device_terms.h"

#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QLabel;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace mornix {

// The agent's one regular window: a sidebar with four sections and a scrolling column of cards
// showing a pushed MornixDashboardState. A pure view: it never reads program state, and reports
// button presses through the action handler. Closing only hides it. Thread: main thread.
class DashboardWindow : public QWidget {
    Q_OBJECT
public:
    enum class Section { overview, clients, activity, settings };

    // What one rendered card shows (read back from its widgets).
    struct RenderedCard {
        QString caption;
        QString value;  // empty: none
        QString detail;
        QString actionTitle;  // empty: no action
        std::optional<DashboardAction> action;
    };

    // terms: names this device and its keychain in the texts (read at each render).
    DashboardWindow(QString buildLabel, std::shared_ptr<const DeviceTerms> terms,
                    std::function<void(DashboardAction)> onAction, QWidget *parent = nullptr);

    // Stores a changed state and renders it while the window is visible; an equal state is ignored.
    void update(const MornixDashboardState &state);
    // Rebuilds the current section's cards; nothing before the first state.
    void render();
    void selectSection(Section section);

    Section section() const { return m_section; }
    const std::optional<MornixDashboardState> &state() const { return m_state; }
    int renderCount() const { return m_renderCount; }
    QString titleText() const;
    QString subtitleText() const;
    // The cards of the current render, top to bottom, and the separate buttons below them.
    QList<RenderedCard> renderedCards() const;
    QList<QPushButton *> trailingButtons() const;
    QPushButton *sectionButton(Section section) const;

    // The activity caption: abbreviated date and short time in the user's locale.
    static QString activityDateText(const QDateTime &date, const QLocale &locale);

protected:
    void changeEvent(QEvent *event) override;

private:
    void buildLayout(const QString &buildLabel);
    QWidget *card(const QString &caption, const QString &detail, const QString &value, const QString &actionTitle = {},
                  std::optional<DashboardAction> action = std::nullopt);
    QPushButton *actionButton(const QString &title, DashboardAction action);
    void renderOverview(const MornixDashboardState &state);
    void renderClients(const MornixDashboardState &state);
    void renderActivity(const MornixDashboardState &state);
    void renderSettings(const MornixDashboardState &state);
    void applyPalette();

    QString subtitle(Section section) const;

    std::shared_ptr<const DeviceTerms> m_terms;
    std::function<void(DashboardAction)> m_onAction;
    QLabel *m_titleLabel = nullptr;
    QLabel *m_subtitleLabel = nullptr;
    QLabel *m_footer = nullptr;
    QLabel *m_sidebarCaption = nullptr;
    QWidget *m_sidebar = nullptr;
    QScrollArea *m_scroll = nullptr;
    QWidget *m_contentHost = nullptr;
    QVBoxLayout *m_content = nullptr;
    QList<QPushButton *> m_navigation;
    Section m_section = Section::overview;
    std::optional<MornixDashboardState> m_state;
    int m_renderCount = 0;
};

}  // namespace mornix
