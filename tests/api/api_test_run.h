#pragma once

#include "api/api_error.h"
#include "api/transport_error.h"

#include <QCoroTask>

#include <functional>
#include <optional>
#include <string>

namespace mornix {

// Runs one client operation to its end on a nested event loop and says how it ended.
template <typename T>
struct OperationResult {
    std::optional<T> value;
    std::optional<APIError> apiError;
    std::optional<TransportError> transportError;
    std::optional<std::string> otherError;

    const char *describe() const
    {
        if (apiError)
            return apiError->what();
        if (transportError)
            return transportError->what();
        if (otherError)
            return otherError->c_str();
        return "succeeded";
    }
};

template <typename T>
OperationResult<T> runOperation(std::function<QCoro::Task<T>()> operation)
{
    auto wrapper = [](std::function<QCoro::Task<T>()> operation) -> QCoro::Task<OperationResult<T>> {
        OperationResult<T> result;
        try {
            T value = co_await operation();
            result.value = std::move(value);
        } catch (const APIError &error) {
            result.apiError = error;
        } catch (const TransportError &error) {
            result.transportError = error;
        } catch (const std::exception &error) {
            result.otherError = error.what();
        }
        co_return result;
    };
    return QCoro::waitFor(wrapper(std::move(operation)));
}

// The value of an operation that returns nothing.
struct Completed {};

inline OperationResult<Completed> runOperation(std::function<QCoro::Task<void>()> operation)
{
    return runOperation<Completed>([operation]() -> QCoro::Task<Completed> {
        co_await operation();
        co_return Completed{};
    });
}

}  // namespace mornix
