#pragma once

#include "identity/credential_records.h"

#include <QDateTime>
#include <QString>

namespace mornix {

// A device credential record for tests: complete and valid as built (every required field set,
// organisation and project as UUIDs), changed one field at a time where a test needs it:
//     const DeviceCredentials c = CredentialsBuilder().device(QStringLiteral("d")).expiringIn(30);
// Header-only: the test links the identity library that defines DeviceCredentials.
class CredentialsBuilder {
public:
    CredentialsBuilder()
    {
        m_record.apiBaseURL = QStringLiteral("https://localhost:8443");
        m_record.bearerToken = QStringLiteral("bearer");
        m_record.orgID = QStringLiteral("3f0c4d0e-1d2a-4b7e-9a51-0c1e2d3f4a5b");
        m_record.projectID = QStringLiteral("8a7b6c5d-4e3f-4a1b-8c9d-0e1f2a3b4c5d");
        m_record.deviceID = QStringLiteral("device-1");
        m_record.deviceSecret = QStringLiteral("secret");
    }

    CredentialsBuilder &apiBaseURL(const QString &url)
    {
        m_record.apiBaseURL = url;
        return *this;
    }
    CredentialsBuilder &bearerToken(const QString &token)
    {
        m_record.bearerToken = token;
        return *this;
    }
    CredentialsBuilder &device(const QString &id)
    {
        m_record.deviceID = id;
        return *this;
    }
    CredentialsBuilder &deviceSecret(const QString &secret)
    {
        m_record.deviceSecret = secret;
        return *this;
    }
    // The access token expires this many seconds from now (negative: already expired).
    CredentialsBuilder &expiringIn(qint64 seconds)
    {
        m_record.tokenExpiresAt = double(QDateTime::currentSecsSinceEpoch() + seconds);
        return *this;
    }
    // What the service returned for a registered device: its bearer token and secret, and the
    // device record (any type with `id`, `org_id` and `project_id`).
    template <typename Device>
    CredentialsBuilder &registered(const QString &bearer, const Device &record, const QString &secret)
    {
        m_record.bearerToken = bearer;
        m_record.deviceID = record.id;
        m_record.orgID = record.org_id;
        m_record.projectID = record.project_id;
        m_record.deviceSecret = secret;
        return *this;
    }

    DeviceCredentials build() const { return m_record; }
    operator DeviceCredentials() const { return m_record; }

private:
    DeviceCredentials m_record;
};

}  // namespace mornix
