#include "support/https_session.h"

#include <QCryptographicHash>
#include <QList>
#include <QSet>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>

namespace mornix {

namespace https_session {

namespace {

class RefusingCookieJar : public QNetworkCookieJar {
public:
    using QNetworkCookieJar::QNetworkCookieJar;
    bool setCookiesFromUrl(const QList<QNetworkCookie> &, const QUrl &) override { return false; }
    QList<QNetworkCookie> cookiesForUrl(const QUrl &) const override { return {}; }
};

// The system's trust store, read once per process: parsing it costs far more than a check.
const QList<QSslCertificate> &systemAnchors()
{
    static const QList<QSslCertificate> anchors = [] {
        QList<QSslCertificate> unique;
        QSet<QByteArray> seen;
        for (const QSslCertificate &certificate : QSslConfiguration::systemCaCertificates()) {
            if (!seen.contains(certificate.digest(QCryptographicHash::Sha256))) {
                seen.insert(certificate.digest(QCryptographicHash::Sha256));
                unique.append(certificate);
            }
        }
        return unique;
    }();
    return anchors;
}

}  // namespace

QSslConfiguration tlsConfiguration(const QByteArray &extraAnchorsPEM, SystemAnchors system)
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    if (!extraAnchorsPEM.isEmpty()) {
        QList<QSslCertificate> anchors = system == SystemAnchors::included ? systemAnchors() : QList<QSslCertificate>();
        anchors += QSslCertificate::fromData(extraAnchorsPEM, QSsl::Pem);
        tls.setCaCertificates(anchors);
    }
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    tls.setProtocol(QSsl::SecureProtocols);
    return tls;
}

bool untrustedIssuerOnly(const QList<QSslError> &errors)
{
    if (errors.isEmpty())
        return false;
    for (const QSslError &error : errors) {
        switch (error.error()) {
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate:
        case QSslError::SelfSignedCertificate:
        case QSslError::SelfSignedCertificateInChain: break;
        default: return false;
        }
    }
    return true;
}

void configureManager(QNetworkAccessManager *manager)
{
    manager->setCookieJar(new RefusingCookieJar(manager));
    manager->setCache(nullptr);
    manager->setRedirectPolicy(QNetworkRequest::UserVerifiedRedirectPolicy);
    manager->setStrictTransportSecurityEnabled(false);
    manager->setAutoDeleteReplies(false);
}

void ReplyDeleter::operator()(QNetworkReply *reply) const
{
    if (reply)
        reply->deleteLater();
}

}  // namespace https_session

}  // namespace mornix
