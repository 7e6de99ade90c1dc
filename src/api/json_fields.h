#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <exception>
#include <optional>
#include <string>

// Strict reading of JSON response records: required fields must be present, non-null and of
// their type; optional fields may be missing or null. Failures raise DecodeFailure whose
// description follows the endpoint's decoding-failure prefix.
class DecodeFailure : public std::exception {
public:
    explicit DecodeFailure(QString description) : m_description(std::move(description)), m_what(m_description.toStdString()) {}
    QString description() const { return m_description; }
    const char *what() const noexcept override { return m_what.c_str(); }

private:
    QString m_description;
    std::string m_what;
};

namespace json_fields {

QJsonObject parseObject(const QByteArray &body);

QString requiredString(const QJsonObject &object, const QString &key);
std::optional<QString> optionalString(const QJsonObject &object, const QString &key);
std::optional<qint64> optionalInteger(const QJsonObject &object, const QString &key);
QJsonObject requiredObject(const QJsonObject &object, const QString &key);
std::optional<QJsonObject> optionalObject(const QJsonObject &object, const QString &key);

}  // namespace json_fields
