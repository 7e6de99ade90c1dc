#pragma once

#include <QString>

#include <exception>
#include <optional>

namespace mornix {

// The error objects of subsystem 4: a domain, an integer code and an optional localized
// description, thrown as exceptions by the credential store, the signing key and the payload
// builders.
class IdentityError : public std::exception {
public:
    IdentityError(QString domain, qint64 code, QString description = {},
                  std::optional<int> underlyingOSStatus = std::nullopt);

    const QString &domain() const { return m_domain; }
    qint64 code() const { return m_code; }
    // The description, or "The operation couldn’t be completed. (<domain> error <code>.)".
    QString localizedDescription() const;
    // An OS-status error this one wraps (error user information), if any.
    std::optional<int> underlyingOSStatus() const { return m_underlying; }
    const char *what() const noexcept override { return m_what.constData(); }

private:
    QString m_domain;
    qint64 m_code;
    QString m_description;
    std::optional<int> m_underlying;
    QByteArray m_what;
};

namespace error_domain {
inline const QString keychainStore = QStringLiteral("KeychainStore");
inline const QString brokerGrant = QStringLiteral("BrokerGrant");
inline const QString osStatus = QStringLiteral("NSOSStatusErrorDomain");
inline const QString decoding = QStringLiteral("NSCocoaErrorDomain");
inline const QString deviceEnrollment = QStringLiteral("DeviceEnrollmentError");
}  // namespace error_domain

// JSON decoding failures of the stored records, with the decoder's codes and texts:
// 4864 corrupt data or a value of the wrong type, 4865 a missing key or value.
class DecodingError : public IdentityError {
public:
    static DecodingError corrupted(const QString &debugDescription);
    static DecodingError missing(const QString &key);
    static DecodingError typeMismatch(const QString &key);
    const QString &debugDescription() const { return m_debug; }

private:
    DecodingError(qint64 code, QString description, QString debug);
    QString m_debug;
};

// The signing-key and enrollment-agent errors.
class DeviceEnrollmentError : public IdentityError {
public:
    enum class Case { secureEnclaveUnavailable, publicKeyUnavailable, invalidCLIUsage };

    static DeviceEnrollmentError secureEnclaveUnavailable(const QString &detail);
    static DeviceEnrollmentError publicKeyUnavailable();
    static DeviceEnrollmentError invalidCLIUsage();
    Case errorCase() const { return m_case; }

private:
    DeviceEnrollmentError(Case c, QString description);
    Case m_case;
};

}  // namespace mornix
