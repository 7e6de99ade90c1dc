#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace mornix {

// The process arguments as UTF-8 strings, argument 0 (the executable path) included.
// A switch is present when any argument is exactly equal to it: no prefixes, no "=value".
class Arguments {
public:
    Arguments() = default;
    explicit Arguments(QStringList values)
        : m_values(std::move(values))
    {
    }
    static Arguments fromMain(int argc, char **argv);

    bool has(const QString &flag) const { return m_values.contains(flag); }
    qsizetype indexOf(const QString &flag) const { return m_values.indexOf(flag); }
    const QStringList &values() const { return m_values; }
    QString argument0() const { return m_values.value(0); }

    // The version text of "--notify-update" when the switch is followed by exactly one further
    // argument and that argument is the last one; nullopt otherwise.
    std::optional<QString> notifyUpdateVersion() const;

private:
    QStringList m_values;
};

}  // namespace mornix
