#pragma once

#include "core/alert_presenter.h"

#include <memory>

namespace mornix {

class SystemLog;

// AlertPresenter over a modal QMessageBox. Without a widget application (a headless start) no
// window can be shown: the alert's texts go to the system log instead.
class MessageBoxAlertPresenter final : public AlertPresenter {
public:
    explicit MessageBoxAlertPresenter(std::shared_ptr<SystemLog> systemLog);
    void showWarning(const QString &messageText, const QString &informativeText) override;

private:
    std::shared_ptr<SystemLog> m_systemLog;
};

}  // namespace mornix
