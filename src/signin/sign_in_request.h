#pragma once

#include "platform/user_defaults.h"

#include <QString>

#include <optional>

namespace mornix {

// The user's choice of how to connect this computer.
struct SignInMethod {
    enum class Kind { password, deviceEnrollment, google, github };
    Kind kind = Kind::google;
    QString email;                          // password
    QString password;                       // password
    QString enrollmentSecret;               // deviceEnrollment
    QString inviteCode;                     // deviceEnrollment
    std::optional<QString> humanClaimName;  // deviceEnrollment

    static SignInMethod google() { return {Kind::google, {}, {}, {}, {}, {}}; }
    static SignInMethod github() { return {Kind::github, {}, {}, {}, {}, {}}; }
    static SignInMethod passwordPair(QString email, QString password)
    {
        return {Kind::password, std::move(email), std::move(password), {}, {}, {}};
    }
    static SignInMethod deviceEnrollment(QString enrollmentSecret, QString inviteCode,
                                         std::optional<QString> humanClaimName)
    {
        return {Kind::deviceEnrollment,   {}, {}, std::move(enrollmentSecret), std::move(inviteCode),
                std::move(humanClaimName)};
    }
};

// What the sign-in window hands to the registration flow.
struct SignInRequest {
    QString apiBaseURL;
    QString deviceName;
    SignInMethod method;
    std::optional<QString> oauthClientID;
    std::optional<QString> oauthClientSecret;
};

// The API base URL the user last chose, remembered in the user defaults.
namespace SignInPreferences {
inline const QString apiBaseURLKey = QStringLiteral("mornix.apiBaseURL");

// Absent, unparsable, host-less values and addresses on the public web site's host (with or
// without a leading "www.") or on the default API host become the default API base URL;
// anything else is returned trimmed, path and all.
QString normalizedAPIBaseURL(const std::optional<QString> &value, const QString &defaultAPIBaseURL,
                             const QString &websiteHost);

// Kept in the user defaults under apiBaseURLKey; a value that is not text reads as none.
std::optional<QString> storedAPIBaseURL(const UserDefaults &defaults);
void storeAPIBaseURL(UserDefaults &defaults, const QString &value);
}  // namespace SignInPreferences

}  // namespace mornix
