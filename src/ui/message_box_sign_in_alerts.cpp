#include "ui/message_box_sign_in_alerts.h"

#include "platform/system_log.h"
#include "support/text_cleaning.h"

#include <QApplication>
#include <QMessageBox>

namespace mornix {

namespace {

void show(QMessageBox::Icon icon, const QString &title, const QString &text, SystemLog *log)
{
    if (!qobject_cast<QApplication *>(QCoreApplication::instance())) {
        if (log)
            log->error(title + QStringLiteral(": ") + text);
        return;
    }
    QMessageBox box;
    box.setIcon(icon);
    box.setText(title);
    box.setInformativeText(text);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

}  // namespace

MessageBoxSignInAlerts::MessageBoxSignInAlerts(std::shared_ptr<SystemLog> systemLog)
    : m_systemLog(std::move(systemLog))
{
}

void MessageBoxSignInAlerts::showWarning(const QString &title, const QString &text)
{
    show(QMessageBox::Warning, title, text, m_systemLog.get());
}

void MessageBoxSignInAlerts::showInformational(const QString &title, const QString &text)
{
    show(QMessageBox::Information, title, text, m_systemLog.get());
}

}  // namespace mornix
