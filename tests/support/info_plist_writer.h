#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>

#include <utility>

namespace mornix {

namespace fixtures {

// The entries of an Info.plist's top-level dictionary, written in this order. A QString value
// becomes <string> (XML-escaped), a bool <true/> or <false/>, an int <integer>.
using InfoEntries = QList<std::pair<QString, QVariant>>;

// Writes an XML property list (with the usual DOCTYPE) of one dictionary to path, replacing the
// file; false when it could not.
bool writeInfoPlist(const QString &path, const InfoEntries &entries);

}  // namespace fixtures

}  // namespace mornix
