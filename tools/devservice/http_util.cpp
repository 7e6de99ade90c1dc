#include "http_util.h"

#include <QJsonDocument>
#include <QJsonParseError>

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
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(text), &parseError);
    if (parseError.error != QJsonParseError::NoError)
        refuse(400, "invalid_json", "request body is not valid JSON: " + parseError.errorString().toStdString());
    if (!document.isObject())
        refuse(400, "invalid_json", "request body must be a JSON object");
    return document.object();
}

QJsonObject requireJsonObject(const httplib::Request &req)
{
    const std::string type = req.get_header_value("Content-Type");
    if (type.rfind("application/json", 0) != 0)
        refuse(415, "unsupported_media_type", "Content-Type must be application/json");
    return parseJsonObject(req.body);
}

std::string requireString(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isString())
        refuse(400, "invalid_request", std::string("missing or invalid field: ") + key);
    return value.toString().toStdString();
}

std::optional<std::string> optionalString(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    if (!value.isString())
        refuse(400, "invalid_request", std::string("invalid field: ") + key);
    return value.toString().toStdString();
}

QJsonObject requireObject(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isObject())
        refuse(400, "invalid_request", std::string("missing or invalid field: ") + key);
    return value.toObject();
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
