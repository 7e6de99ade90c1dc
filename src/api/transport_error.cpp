#include "api/transport_error.h"

namespace mornix {

TransportError::TransportError(QNetworkReply::NetworkError code, QString message)
    : m_code(code)
    , m_message(std::move(message))
    , m_what(m_message.toStdString())
{
}

}  // namespace mornix
