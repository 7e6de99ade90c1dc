#include "ui/message_box_alert_presenter.h"

#include "platform/system_log.h"

#include <QApplication>
#include <QMessageBox>

namespace mornix {

MessageBoxAlertPresenter::MessageBoxAlertPresenter(std::shared_ptr<SystemLog> systemLog)
    : m_systemLog(std::move(systemLog))
{
}

void MessageBoxAlertPresenter::showWarning(const QString &messageText, const QString &informativeText)
{
    if (!qobject_cast<QApplication *>(QCoreApplication::instance())) {
        if (m_systemLog)
            m_systemLog->error(messageText + QStringLiteral(": ") + informativeText);
        return;
    }
    QMessageBox box;
    box.setIcon(QMessageBox::Warning);
    box.setText(messageText);
    box.setInformativeText(informativeText);
    box.exec();
}

}  // namespace mornix
