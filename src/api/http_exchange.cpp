#include "api/http_exchange.h"

void HTTPRequest::setHeader(const QByteArray &name, const QByteArray &value)
{
    for (auto &entry : headers) {
        if (entry.first.compare(name, Qt::CaseInsensitive) == 0) {
            entry.second = value;
            return;
        }
    }
    headers.append({name, value});
}

QByteArray HTTPRequest::header(const QByteArray &name) const
{
    for (const auto &entry : headers) {
        if (entry.first.compare(name, Qt::CaseInsensitive) == 0)
            return entry.second;
    }
    return {};
}
