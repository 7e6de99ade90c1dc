#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QUrl>

#include <chrono>
#include <optional>

namespace mornix {

// One HTTP request as the client builds, signs and sends it: the bytes signed are the bytes sent.
struct HTTPRequest {
    QByteArray method;  // empty means GET
    QUrl url;
    QList<QPair<QByteArray, QByteArray>> headers;  // in the order they are set
    QByteArray body;
    std::optional<std::chrono::milliseconds> timeout;  // inactivity timeout; session default when empty

    // Throws std::invalid_argument when the name or value holds CR, LF or NUL.
    void setHeader(const QByteArray &name, const QByteArray &value);
    QByteArray header(const QByteArray &name) const;  // case-insensitive; empty when absent
};

// What came back. status is empty when the answer was not an HTTP response.
struct HTTPResponse {
    std::optional<int> status;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
};

}  // namespace mornix
