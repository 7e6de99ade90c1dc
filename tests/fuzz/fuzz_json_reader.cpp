// Fuzz harness: arbitrary bytes through the shared JSON field reader, every accessor on every key
// (nested objects too, a few levels down). Invariants: a failure is always a JsonFieldError naming
// the field it was about; required and optional readers agree on present, non-null values; an
// optional reader never fails on null; an integer read equals the number's value, narrows exactly
// when it fits and survives writing and reading back.
#include "fuzz_support.h"
#include "support/json_reader.h"

#include <QJsonDocument>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <type_traits>
#include <utility>

namespace mornix {

namespace {

// Aborts with the broken condition's text.
#define CHECK(condition) fuzz_support::check((condition), #condition)

// Runs one read; answers whether it succeeded. A failure must concern `path` and, for a key the
// object holds, can be no Missing.
bool attempt(const std::function<void()> &read, const QString &path, bool present, bool null)
{
    try {
        read();
        return true;
    } catch (const JsonFieldError &error) {
        CHECK(error.path() == path);
        CHECK(!error.expected().isEmpty());
        CHECK(error.problem() != JsonProblem::NotJson && error.problem() != JsonProblem::NotObject);
        CHECK((error.problem() == JsonProblem::Missing) == !present);
        CHECK((error.problem() == JsonProblem::Null) == (present && null));
        CHECK(error.description().contains(path));
        return false;
    }
}

// The required reader succeeds exactly when the optional one yields a value (null and missing
// aside, where the optional one yields nothing and must not fail). Answers the value read.
template <typename T>
std::optional<T> agree(const JsonReader &reader, const QString &key, const QString &path)
{
    const QJsonValue value = reader.json().value(key);
    const bool present = !value.isUndefined();
    const bool null = value.isNull();
    std::optional<T> requiredResult;
    std::optional<T> optionalResult;
    const bool requiredOk = attempt([&] { requiredResult = reader.required<T>(key); }, path, present, null);
    const bool optionalOk = attempt([&] { optionalResult = reader.optional<T>(key); }, path, true, false);
    if (!present || null) {
        CHECK(!requiredOk && optionalOk && !optionalResult.has_value());
        return std::nullopt;
    }
    CHECK(requiredOk == optionalOk);
    if constexpr (std::is_same_v<T, JsonReader>)
        CHECK(!requiredOk || (optionalResult && optionalResult->json() == requiredResult->json()));
    else
        CHECK(!requiredOk || optionalResult == requiredResult);
    return requiredResult;
}

void checkIntegers(const JsonReader &reader, const QString &key, const QString &path)
{
    const std::optional<qint64> wide = agree<qint64>(reader, key, path);
    if (!wide)
        return;
    const QJsonValue value = reader.json().value(key);
    CHECK(value.isDouble() && value.toDouble() == static_cast<double>(*wide));
    const std::optional<qint32> narrow = agree<qint32>(reader, key, path);
    CHECK(narrow.has_value() == std::in_range<qint32>(*wide));
    CHECK(!narrow || *narrow == *wide);
    const QByteArray written = QJsonDocument(QJsonObject{{QStringLiteral("v"), *wide}}).toJson(QJsonDocument::Compact);
    CHECK(JsonReader::parse(written).required<qint64>("v") == *wide);
}

void checkObject(const JsonReader &reader, int depth)
{
    const auto pathOf = [&](const QString &key) {
        return reader.path().isEmpty() ? key : reader.path() + QLatin1Char('.') + key;
    };
    int keys = 0;
    for (auto it = reader.json().begin(); it != reader.json().end() && keys < 16; ++it, ++keys) {
        const QString key = it.key();
        const QString path = pathOf(key);
        agree<QString>(reader, key, path);
        agree<bool>(reader, key, path);
        agree<double>(reader, key, path);
        agree<QJsonArray>(reader, key, path);
        agree<QStringList>(reader, key, path);
        agree<QMap<QString, QString>>(reader, key, path);
        checkIntegers(reader, key, path);
        const std::optional<JsonReader> inner = agree<JsonReader>(reader, key, path);
        CHECK(inner.has_value() == it.value().isObject());
        if (inner && depth < 3) {
            CHECK(inner->path() == path);
            checkObject(*inner, depth + 1);
        }
    }
    // A key the object lacks: Missing for required readers, absent for optional ones.
    const QString absent = QStringLiteral("\x01 absent");
    agree<QString>(reader, absent, pathOf(absent));
}

}  // namespace

}  // namespace mornix

using namespace mornix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    std::optional<JsonReader> reader;
    try {
        reader = JsonReader::parse(bytes);
    } catch (const JsonFieldError &error) {
        CHECK(error.path().isEmpty());
        CHECK(error.problem() == JsonProblem::NotJson || error.problem() == JsonProblem::NotObject);
        // The parser may point one past the end of an unterminated string.
        if (error.problem() == JsonProblem::NotJson)
            CHECK(!error.detail().isEmpty() && error.offset() >= 0 && error.offset() <= bytes.size() + 1);
        return 0;
    }
    checkObject(*reader, 0);
    return 0;
}
