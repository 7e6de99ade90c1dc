#pragma once

#include "listener_client.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <QCoroNetworkReply>
#include <QCoroTask>

namespace mornix {

// A browser for tests: asked to open the authorization URL, it requests it from the service
// (over TLS, trusting the dev CA), takes the redirect to the loopback callback and requests that,
// optionally misbehaving on the way. Thread: main thread.
class ScriptedBrowser : public QObject {
public:
    enum class Mode {
        follow,       // as a browser does
        wrongState,   // the callback's state replaced
        neverReturn,  // nothing after opening
        refuse,       // no browser can be opened
    };

    explicit ScriptedBrowser(Mode mode = Mode::follow, quint16 port = 53682)
        : m_mode(mode)
        , m_port(port)
    {
        m_tls = QSslConfiguration::defaultConfiguration();
        m_tls.addCaCertificates(QStringLiteral(MORNIX_DEV_PKI_DIR "/tls-ca.pem"));
    }

    void setMode(Mode mode) { m_mode = mode; }

    bool open(const QUrl &url)
    {
        ++opened;
        authorizeURL = url;
        if (m_mode == Mode::refuse)
            return false;
        if (m_mode != Mode::neverReturn)
            QTimer::singleShot(0, this, [this, url] { visit(url); });
        return true;
    }

    int opened = 0;
    QUrl authorizeURL;

private:
    QCoro::Task<void> visit(QUrl url)
    {
        QNetworkRequest request(url);
        request.setSslConfiguration(m_tls);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        QNetworkReply *reply = m_network.get(request);
        co_await reply;
        const QUrl location = reply->header(QNetworkRequest::LocationHeader).toUrl();
        reply->deleteLater();
        if (!location.isValid())
            co_return;

        QUrlQuery query(location);
        if (m_mode == Mode::wrongState) {
            query.removeAllQueryItems(QStringLiteral("state"));
            query.addQueryItem(QStringLiteral("state"), QStringLiteral("mornix_00000000-0000-0000-0000-000000000000"));
        }
        QUrl callback = location;
        callback.setQuery(query);
        rawExchange(
            m_port,
            getRequest(callback.toString(QUrl::FullyEncoded | QUrl::RemoveScheme | QUrl::RemoveAuthority).toUtf8()));
    }

    Mode m_mode;
    quint16 m_port;
    QSslConfiguration m_tls;
    QNetworkAccessManager m_network;
};

}  // namespace mornix
