#include "info_plist_writer.h"

#include <QFile>

namespace mornix {

namespace fixtures {

static QByteArray infoPlist(const InfoEntries &entries)
{
    QByteArray xml("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                   "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                   "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                   "<plist version=\"1.0\">\n<dict>\n");
    for (const auto &[key, value] : entries) {
        xml += "\t<key>" + key.toHtmlEscaped().toUtf8() + "</key>\n\t";
        switch (value.typeId()) {
        case QMetaType::Bool: xml += value.toBool() ? "<true/>" : "<false/>"; break;
        case QMetaType::Int: xml += "<integer>" + QByteArray::number(value.toInt()) + "</integer>"; break;
        default: xml += "<string>" + value.toString().toHtmlEscaped().toUtf8() + "</string>";
        }
        xml += '\n';
    }
    return xml + "</dict>\n</plist>\n";
}

bool writeInfoPlist(const QString &path, const InfoEntries &entries)
{
    QFile file(path);
    const QByteArray xml = infoPlist(entries);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(xml) == xml.size();
}

}  // namespace fixtures

}  // namespace mornix
