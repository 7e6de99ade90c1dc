#include "identity/identity_error.h"

namespace mornix {

IdentityError::IdentityError(QString domain, qint64 code, QString description, std::optional<int> underlyingOSStatus)
    : m_domain(std::move(domain))
    , m_code(code)
    , m_description(std::move(description))
    , m_underlying(underlyingOSStatus)
{
    m_what = localizedDescription().toUtf8();
}

QString IdentityError::localizedDescription() const
{
    if (!m_description.isEmpty())
        return m_description;
    return QStringLiteral("The operation couldn’t be completed. (%1 error %2.)").arg(m_domain).arg(m_code);
}

DecodingError::DecodingError(qint64 code, QString description, QString debug)
    : IdentityError(error_domain::decoding, code, std::move(description))
    , m_debug(std::move(debug))
{
}

DecodingError DecodingError::corrupted(const QString &debugDescription)
{
    return DecodingError(4864, QStringLiteral("The data couldn’t be read because it isn’t in the correct format."),
                         debugDescription);
}

DecodingError DecodingError::missing(const QString &key)
{
    return DecodingError(4865, QStringLiteral("The data couldn’t be read because it is missing."),
                         QStringLiteral("No value associated with key \"%1\".").arg(key));
}

DecodingError DecodingError::typeMismatch(const QString &key)
{
    return DecodingError(4864, QStringLiteral("The data couldn’t be read because it isn’t in the correct format."),
                         QStringLiteral("Value of key \"%1\" has the wrong type.").arg(key));
}

DeviceEnrollmentError::DeviceEnrollmentError(Case c, QString description)
    : IdentityError(error_domain::deviceEnrollment, static_cast<qint64>(c), std::move(description))
    , m_case(c)
{
}

DeviceEnrollmentError DeviceEnrollmentError::secureEnclaveUnavailable(const QString &detail)
{
    return DeviceEnrollmentError(Case::secureEnclaveUnavailable,
                                 QStringLiteral("Secure Enclave unavailable: ") + detail);
}

DeviceEnrollmentError DeviceEnrollmentError::publicKeyUnavailable()
{
    return DeviceEnrollmentError(Case::publicKeyUnavailable,
                                 QStringLiteral("Unable to derive Secure Enclave public key"));
}

DeviceEnrollmentError DeviceEnrollmentError::invalidCLIUsage()
{
    return DeviceEnrollmentError(
        Case::invalidCLIUsage,
        QStringLiteral("Invalid CLI usage. Expected --zta-enrollment-payload or --zta-sign-challenge <nonce>"));
}

}  // namespace mornix
