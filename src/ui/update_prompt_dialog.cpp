#include "ui/update_prompt_dialog.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

#include <QCoroSignal>

namespace mornix {

UpdatePromptDialog::UpdatePromptDialog(std::shared_ptr<SystemLog> systemLog)
    : m_systemLog(std::move(systemLog))
{
}

QCoro::Task<bool> UpdatePromptDialog::askToInstall(UpdateOffer offer)
{
    if (!qobject_cast<QApplication *>(QCoreApplication::instance())) {
        if (m_systemLog)
            m_systemLog->info(QStringLiteral("Veltro Desktop update %1 is available; no display to ask on")
                                  .arg(offer.displayVersion));
        co_return false;
    }
    QPointer<QMessageBox> box =
        new QMessageBox(QMessageBox::Information, QStringLiteral("Veltro"),
                        QStringLiteral("A new version of Veltro is available"), QMessageBox::NoButton);
    const QString installed = offer.currentDisplayVersion.isEmpty()
                                  ? QString()
                                  : QStringLiteral(" You have %1.").arg(offer.currentDisplayVersion);
    box->setInformativeText(QStringLiteral("Veltro %1 is ready to install.%2").arg(offer.displayVersion, installed));
    QPushButton *install = box->addButton(QStringLiteral("Install"), QMessageBox::AcceptRole);
    QPushButton *later = box->addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
    box->setDefaultButton(install);
    box->setEscapeButton(later);
    box->open();
    QMessageBox *raw = box.data();
    co_await qCoro(raw, &QMessageBox::finished);
    if (!box)
        co_return false;
    const bool answer = box->clickedButton() == install;
    box->deleteLater();
    co_return answer;
}

}  // namespace mornix
