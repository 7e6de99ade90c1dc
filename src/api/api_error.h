#pragma once

#include <QString>

#include <exception>
#include <string>

namespace mornix {

// The error every APIClient operation raises for an answer it cannot use (transport failures
// are TransportError). It carries no user-facing text: callers phrase their own messages.
class APIError : public std::exception {
public:
    enum class Kind {
        unauthorized,     // HTTP 401 or 403; body() is the response body text
        serverError,      // any other status outside 200-299; statusCode() and body()
        decodeError,      // the body does not decode, or a local preflight failed; message()
        badURL,           // a base URL or composed URL cannot be parsed, or a signed request has none
        invalidResponse,  // the answer is not an HTTP response
    };

    static APIError unauthorized(const QString &body);
    static APIError serverError(int statusCode, const QString &body);
    static APIError decodeError(const QString &message);
    // A command envelope that does not decode but names a safe command id (decodeError kind).
    static APIError undecodableCommand(const QString &message, const QString &commandID);
    static APIError badURL();
    static APIError invalidResponse();

    Kind kind() const { return m_kind; }
    int statusCode() const { return m_statusCode; }
    QString body() const { return m_text; }     // unauthorized, serverError
    QString message() const { return m_text; }  // decodeError
    // undecodableCommand: the id the envelope named; empty otherwise.
    QString commandID() const { return m_commandID; }
    const char *what() const noexcept override { return m_what.c_str(); }  // for diagnostics only

private:
    APIError(Kind kind, int statusCode, QString text);

    Kind m_kind;
    int m_statusCode = 0;
    QString m_text;
    QString m_commandID;
    std::string m_what;
};

}  // namespace mornix
