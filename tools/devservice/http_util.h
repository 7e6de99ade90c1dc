#pragma once

#include <httplib.h>

#include <QJsonArray>
#include <QJsonObject>

#include <optional>
#include <string>

namespace mornix {

namespace devservice {

// A refusal: answered as {"error": error, "message": message} with the status.
struct HttpError {
    int status;
    std::string error;
    std::string message;
};

[[noreturn]] inline void refuse(int status, const std::string &error, const std::string &message)
{
    throw HttpError{status, error, message};
}

void sendJson(httplib::Response &res, int status, const QJsonObject &body);
void sendError(httplib::Response &res, const HttpError &error);

// Runs a route body; an HttpError becomes its JSON answer.
template <class F>
httplib::Server::Handler guarded(F body)
{
    return [body](const httplib::Request &req, httplib::Response &res) {
        try {
            body(req, res);
        } catch (const HttpError &error) {
            sendError(res, error);
        }
    };
}

// The request body as a JSON object (Content-Type application/json); 400/415 otherwise.
QJsonObject requireJsonObject(const httplib::Request &req);
QJsonObject parseJsonObject(const std::string &text);

// Field access for bodies, by the shared JSON reader's rules: a required field that is missing,
// null or of another type is a 400 "invalid_request" ("missing or invalid field: <key>"); an
// optional one that is missing or null is nullopt, of another type a 400 ("invalid field: <key>").
std::string requireString(const QJsonObject &object, const char *key);
std::optional<std::string> optionalString(const QJsonObject &object, const char *key);
QJsonObject requireObject(const QJsonObject &object, const char *key);
QJsonArray requireArray(const QJsonObject &object, const char *key);

// A single header value; 401 when repeated, nullopt when absent.
std::optional<std::string> singleHeader(const httplib::Request &req, const char *name, int statusWhenRepeated = 400);

}  // namespace devservice

}  // namespace mornix
