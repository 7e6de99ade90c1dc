#include "core/clients_closed_notice.h"

#include "core/dashboard_state.h"
#include "core/ui_logging.h"
#include "discovery/agent_product_catalog.h"
#include "support/serial_queue.h"

#include <QJsonArray>
#include <QMetaObject>

#include <algorithm>

namespace mornix {

namespace {
const QString kProductsKey = QStringLiteral("products");
}  // namespace

ClientsClosedNotice::ClientsClosedNotice(std::shared_ptr<UserNotifications> notifications, bool clickOpensDashboard,
                                         QObject *parent)
    : QObject(parent)
    , m_notifications(std::move(notifications))
    , m_clickOpensDashboard(clickOpensDashboard)
    , m_queue(std::make_unique<SerialQueue>(QStringLiteral("ai.veltro.mornix.clients-closed")))
{
}

ClientsClosedNotice::~ClientsClosedNotice()
{
    m_queue.reset();  // finishes the post in progress before the members it uses go
}

QStringList ClientsClosedNotice::closedProducts(const KillExecutionResult &result)
{
    if (!result.succeeded)
        return {};
    const QJsonObject &payload = result.payload;
    QStringList names;
    if (payload.contains(QStringLiteral("app_key"))) {
        // An application command: the family's application products whose copies it stopped.
        const QString family = payload.value(QStringLiteral("app_key")).toString();
        for (const QJsonValue &value : payload.value(QStringLiteral("terminated_bundle_ids")).toArray()) {
            const QString bundleID = value.toString();
            for (const AgentProductCatalog::Product &product : AgentProductCatalog::all()) {
                if (product.appKey == family && product.kind == AgentProductCatalog::kApplicationKind
                    && AgentProductCatalog::admittedBundleIDs(product).contains(bundleID)) {
                    names.append(productDisplayName(product.key));
                    break;
                }
            }
        }
    } else if (payload.value(QStringLiteral("all_stopped")).toBool() && payload.contains(QStringLiteral("product"))) {
        // An instance command: the one instance, seen running and then stopped.
        names.append(productDisplayName(payload.value(QStringLiteral("product")).toString()));
    }
    names.sort();
    names.removeDuplicates();
    return names;
}

QString ClientsClosedNotice::body(const QStringList &productNames)
{
    const QString opening = QStringLiteral("Your workspace administrator closed ");
    if (productNames.size() == 1)
        return opening + productNames.first() + u'.';
    if (productNames.size() == 2)
        return opening + productNames.at(0) + QStringLiteral(" and ") + productNames.at(1) + u'.';
    return opening + QString::number(productNames.size()) + QStringLiteral(" AI clients.");
}

bool ClientsClosedNotice::isNotice(const UserNotificationRequest &request)
{
    return request.identifier == requestIdentifier && request.content.categoryIdentifier == categoryIdentifier;
}

void ClientsClosedNotice::commandExecuted(const KillExecutionResult &result)
{
    const QStringList names = closedProducts(result);
    if (names.isEmpty())
        return;
    m_queue->post([this, names] { post(names); });
}

void ClientsClosedNotice::post(QStringList names)
{
    QString error;
    if (!m_notifications->requestAuthorization(&error)) {
        qCDebug(lcUi).noquote() << "no notification server: the clients-closed notice is skipped" << error;
        return;
    }
    // The notice still on screen is replaced: the new one names its products too.
    for (const UserNotificationRequest &shown : m_notifications->deliveredNotifications()) {
        if (isNotice(shown))
            names += shown.content.userInfo.value(kProductsKey).toStringList();
    }
    names.sort();
    names.removeDuplicates();

    UserNotificationRequest request;
    request.identifier = requestIdentifier;
    request.content.title = QStringLiteral("VeltroMornix");
    request.content.body = body(names);
    request.content.categoryIdentifier = categoryIdentifier;
    request.content.userInfo.insert(kProductsKey, names);
    request.content.answersClick = m_clickOpensDashboard;
    if (!m_notifications->add(request, &error))
        qCInfo(lcUi).noquote() << "the clients-closed notice could not be shown:" << error;
}

void ClientsClosedNotice::drain()
{
    m_queue->drain();
}

NoticeAnswerRouter::NoticeAnswerRouter(std::shared_ptr<UserNotificationDelegate> others, QObject *context,
                                       std::function<void()> openActivity)
    : m_others(std::move(others))
    , m_context(context)
    , m_openActivity(std::move(openActivity))
{
}

void NoticeAnswerRouter::didReceive(const UserNotificationResponse &response, std::function<void()> completion)
{
    if (!ClientsClosedNotice::isNotice(response.request)) {
        if (m_others)
            m_others->didReceive(response, std::move(completion));
        else
            completion();
        return;
    }
    if (response.actionIdentifier == UserNotificationResponse::defaultActionIdentifier) {
        QPointer<QObject> context = m_context;
        if (context)
            QMetaObject::invokeMethod(context.data(), m_openActivity, Qt::QueuedConnection);
    }
    completion();
}

}  // namespace mornix
