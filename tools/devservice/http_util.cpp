#include "http_util.h"

#include "support/json_reader.h"

#include <QJsonDocument>

namespace mornix {

namespace devservice {

void sendJson(httplib::Response &res, int status, const QJsonObject &body)
{
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(QJsonDocument(body).toJson(QJsonDocument::Compact).toStdString(), "application/json");
}

void sendError(httplib::Response &res, const HttpError &error)
{
    sendJson(res, error.status,
             QJsonObject{{"error", QString::fromStdString(error.error)},
                         {"message", QString::fromStdString(error.message)}});
}

QJsonObject parseJsonObject(const std::string &text)
{
    try {
        return JsonReader::parse(QByteArray::fromStdString(text)).json();
    } catch (const JsonFieldError &failure) {
        if (failure.problem() == JsonProblem::NotJson)
            refuse(400, "invalid_json", "request body is not valid JSON: " + failure.detail().toStdString());
        refuse(400, "invalid_json", "request body must be a JSON object");
    }
}

QJsonObject requireJsonObject(const httplib::Request &req)
{
    const std::string type = req.get_header_value("Content-Type");
    if (type.rfind("application/json", 0) != 0)
        refuse(415, "unsupported_media_type", "Content-Type must be application/json");
    return parseJsonObject(req.body);
}

namespace {

// One field through the shared reader; a reading failure is a 400 "invalid_request" naming it.
template <typename Read>
auto bodyField(const QJsonObject &object, const char *key, const char *refusal, Read read)
{
    try {
        return read(JsonReader(object));
    } catch (const JsonFieldError &) {
        refuse(400, "invalid_request", refusal + std::string(key));
    }
}

}  // namespace

std::string requireString(const QJsonObject &object, const char *key)
{
    return bodyField(object, key, "missing or invalid field: ", [key](const JsonReader &body) {
        return body.required<QString>(key).toStdString();
    });
}

std::optional<std::string> optionalString(const QJsonObject &object, const char *key)
{
    const auto value = bodyField(
        object, key, "invalid field: ", [key](const JsonReader &body) { return body.optional<QString>(key); });
    return value ? std::optional(value->toStdString()) : std::nullopt;
}

QJsonObject requireObject(const QJsonObject &object, const char *key)
{
    return bodyField(object, key, "missing or invalid field: ", [key](const JsonReader &body) {
        return body.required<JsonReader>(key).json();
    });
}

QJsonArray requireArray(const QJsonObject &object, const char *key)
{
    return bodyField(object, key, "missing or invalid field: ", [key](const JsonReader &body) {
        return body.required<QJsonArray>(key);
    });
}

std::optional<std::string> singleHeader(const httplib::Request &req, const char *name, int statusWhenRepeated)
{
    const size_t count = req.get_header_value_count(name);
    if (count == 0)
        return std::nullopt;
    if (count > 1)
        refuse(statusWhenRepeated, statusWhenRepeated == 401 ? "unauthorized" : "invalid_request",
               std::string("header repeated: ") + name);
    return req.get_header_value(name);
}

}  // namespace devservice

}  // namespace mornix
