#include "app/arguments.h"

namespace mornix {

Arguments Arguments::fromMain(int argc, char **argv)
{
    QStringList values;
    values.reserve(argc);
    for (int i = 0; i < argc; ++i)
        values.append(QString::fromUtf8(argv[i]));
    return Arguments(std::move(values));
}

std::optional<QString> Arguments::notifyUpdateVersion() const
{
    const qsizetype position = m_values.indexOf(QStringLiteral("--notify-update"));
    if (position < 0 || m_values.size() != position + 2)
        return std::nullopt;
    return m_values.last();
}

}  // namespace mornix
