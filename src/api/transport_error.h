#pragma once

#include <QNetworkReply>
#include <QString>

#include <exception>
#include <string>

namespace mornix {

// A failure below HTTP (connection, TLS, timeout, cancellation), raised unchanged to the caller.
// A TLS check that refuses a server ends the request with OperationCanceledError; the reason is
// in PinnedSessionFailureStore.
class TransportError : public std::exception {
public:
    TransportError(QNetworkReply::NetworkError code, QString message);

    QNetworkReply::NetworkError code() const { return m_code; }
    QString message() const { return m_message; }
    const char *what() const noexcept override { return m_what.c_str(); }

private:
    QNetworkReply::NetworkError m_code;
    QString m_message;
    std::string m_what;
};

}  // namespace mornix
