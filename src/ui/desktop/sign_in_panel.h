#pragma once

#include <QPointer>
#include <QWidget>

class QLabel;
class QPushButton;

namespace mornix {

class DeviceTerms;
class SignInWindowController;

// The visible sign-in panel (620 x 520, kept above other windows) of one SignInWindowController:
// it shows when the controller presents, mirrors its buttons' state and status label, forwards
// its buttons and its close button to it, and hides when the controller closes. It deletes itself
// with the controller. Thread: main thread.
class SignInPanel : public QWidget {
    Q_OBJECT
public:
    // terms: names this device in the explanation.
    SignInPanel(SignInWindowController *controller, const DeviceTerms &terms);

    // Makes a panel for `controller`.
    static void attach(SignInWindowController *controller, const DeviceTerms &terms);

    QPushButton *googleButton() const { return m_google; }
    QPushButton *gitHubButton() const { return m_gitHub; }
    QPushButton *helpLink() const { return m_help; }
    QLabel *statusLabel() const { return m_status; }
    QLabel *deviceLabel() const { return m_device; }
    QWidget *card() const { return m_card; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void sync();
    void presentInFront();

    QPointer<SignInWindowController> m_controller;
    QWidget *m_card = nullptr;
    QLabel *m_device = nullptr;
    QPushButton *m_google = nullptr;
    QPushButton *m_gitHub = nullptr;
    QPushButton *m_help = nullptr;
    QLabel *m_status = nullptr;
};

}  // namespace mornix
