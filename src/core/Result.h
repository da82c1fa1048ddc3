#pragma once

#include "Error.h"

#include <utility>
#include <variant>

// The outcome of an operation that may fail: a value or an Error.
template<typename T>
class [[nodiscard]] Result
{
public:
    Result(T value)
        : m_outcome(std::in_place_index<0>, std::move(value))
    {
    }
    Result(Error error)
        : m_outcome(std::in_place_index<1>, std::move(error))
    {
    }

    bool ok() const { return m_outcome.index() == 0; }
    explicit operator bool() const { return ok(); }

    const T &value() const & { return std::get<0>(m_outcome); }
    T &value() & { return std::get<0>(m_outcome); }
    T &&value() && { return std::get<0>(std::move(m_outcome)); }
    const Error &error() const { return std::get<1>(m_outcome); }

private:
    std::variant<T, Error> m_outcome;
};

template<>
class [[nodiscard]] Result<void>
{
public:
    Result() = default;
    Result(Error error)
        : m_error(std::move(error))
    {
    }

    bool ok() const { return !m_error.has_value(); }
    explicit operator bool() const { return ok(); }
    const Error &error() const { return *m_error; }

private:
    std::optional<Error> m_error;
};
