#pragma once

#include <QAnyStringView>
#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QString>
#include <QStringList>

#include <concepts>
#include <exception>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>

// Reading the fields of JSON objects that come from outside (service answers, keychain records,
// request bodies). One set of rules for every caller:
// - A required field must be present, non-null and of its type.
// - An optional field that is missing or null is absent; present with another type is an error.
// - Integers: a JSON number whose value is a whole number within the target type's range.
//   Integer literals are read exactly over the whole signed 64-bit range; a number written with a
//   fraction or an exponent ("1e3", "2.0") is read as the nearest double first, as every JSON
//   reader does, and counts when that double is whole. "-0" reads as 0. Text ("1"), booleans and
//   fractions (1.5) are not integers. The value is read within ±(2^63 - 1) and then range-checked
//   into the target type (an unsigned 64-bit target tops out at 2^63 - 1). -2^63 itself is
//   refused: the parser rounds the literals just below it up to it, so it cannot be read exactly.
// - Numbers: any JSON number, as a double (integer literals beyond 2^53 round to the nearest).
// - Unknown keys are ignored unless the caller lists the keys it allows (allowOnly); of a
//   repeated key the last one counts.
// Every failure throws JsonFieldError naming the field and the reason; callers that answer with
// their own texts catch it and build them from problem(), key() and expected().

namespace mornix {

enum class JsonProblem {
    NotJson,     // the bytes are not a JSON document (detail(), offset())
    NotObject,   // the document is not an object
    Missing,     // a required key is absent
    Null,        // a required key holds null
    WrongType,   // the value is of another JSON type than expected() (or a list/map has a wrong item)
    NotInteger,  // a number, but not a whole number within the target's range
    UnknownKey,  // a key that allowOnly() does not list (key() names it)
};

class JsonFieldError : public std::exception {
public:
    JsonFieldError(JsonProblem problem, QString path, QString expected, QString detail = {}, qsizetype offset = -1);

    JsonProblem problem() const { return m_problem; }
    // The field's own key; empty for the document itself.
    QString key() const;
    // Keys from the outermost object down, joined with '.' ("device.id").
    const QString &path() const { return m_path; }
    // What the field should hold, with its article: "a string", "an integer", "an object".
    const QString &expected() const { return m_expected; }
    // NotJson: the parser's message and the byte offset it stopped at; otherwise empty and -1.
    const QString &detail() const { return m_detail; }
    qsizetype offset() const { return m_offset; }
    // The reason in plain English, without the key ("is missing", "is not an integer").
    QString reason() const;
    // The whole message: the path and the reason.
    QString description() const;
    const char *what() const noexcept override { return m_what.c_str(); }

private:
    JsonProblem m_problem;
    QString m_path;
    QString m_expected;
    QString m_detail;
    qsizetype m_offset;
    std::string m_what;
};

template <typename T>
concept JsonInteger = std::integral<T> && !std::same_as<T, bool>;

// A read-only view of one JSON object with typed field access. Cheap to copy (Qt's implicit
// sharing). Thread: any; an instance is not shared between threads while in use.
//
// required<T>(key) and optional<T>(key) read a field as T, one of:
//   QString, bool, double (any number), an integer type (by the integer rule above),
//   JsonReader (a nested object; its errors name "outer.inner"), QJsonArray,
//   QStringList (an array of strings only), QMap<QString, QString> (an object of strings only).
class JsonReader {
public:
    explicit JsonReader(QJsonObject object, QString path = {});

    // The bytes must hold one JSON object (NotJson / NotObject otherwise).
    static JsonReader parse(const QByteArray &bytes);

    const QJsonObject &json() const { return m_object; }
    const QString &path() const { return m_path; }

    // For formats that refuse what they do not know: throws UnknownKey for the first key of the
    // object (in key order) that is not in `keys`.
    void allowOnly(std::initializer_list<QLatin1StringView> keys) const;

    template <typename T>
    T required(QAnyStringView key) const
    {
        if constexpr (JsonInteger<T>)
            return narrowed<T>(key, *read<qint64>(key, true));
        else
            return *read<T>(key, true);
    }

    template <typename T>
    std::optional<T> optional(QAnyStringView key) const
    {
        if constexpr (JsonInteger<T>) {
            const std::optional<qint64> value = read<qint64>(key, false);
            if (!value)
                return std::nullopt;
            return narrowed<T>(key, *value);
        } else {
            return read<T>(key, false);
        }
    }

private:
    // The field as T (qint64 stands for every integer type); missing or null: nullopt, or for a
    // required field Missing / Null; another type: WrongType. Defined for the types listed above.
    template <typename T>
    std::optional<T> read(QAnyStringView key, bool isRequired) const;
    QString pathOf(QAnyStringView key) const;
    [[noreturn]] void fail(JsonProblem problem, QAnyStringView key, const QString &expected) const;
    qint64 integerOf(const QJsonValue &number, QAnyStringView key) const;

    template <std::integral T>
    T narrowed(QAnyStringView key, qint64 value) const
    {
        if (!std::in_range<T>(value))
            fail(JsonProblem::NotInteger, key, QStringLiteral("an integer"));
        return static_cast<T>(value);
    }

    QJsonObject m_object;
    QString m_path;
};

}  // namespace mornix
