#include "api/http_exchange.h"

#include <stdexcept>

namespace mornix {

void HTTPRequest::setHeader(const QByteArray &name, const QByteArray &value)
{
    // A line break or NUL would end the header early and smuggle in one of its own.
    for (const QByteArray *part : {&name, &value}) {
        if (part->contains('\r') || part->contains('\n') || part->contains('\0'))
            throw std::invalid_argument("request header carries CR, LF or NUL");
    }
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

}  // namespace mornix
