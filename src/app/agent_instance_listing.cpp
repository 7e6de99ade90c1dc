#include "app/agent_instance_listing.h"

#include "app/cli_output.h"
#include "discovery/agent_instance_scanner.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringDecoder>

namespace mornix {

std::optional<QByteArray> agentInstanceListingJSON(const QList<DetectedAgentInstance> &instances)
{
    QJsonArray array;
    for (const DetectedAgentInstance &instance : instances)
        array.append(instance.report.toJSON());  // QJsonObject keeps its keys sorted
    QByteArray bytes = QJsonDocument(array).toJson(QJsonDocument::Indented);
    while (bytes.endsWith('\n'))
        bytes.chop(1);
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    (void)decoder.decode(bytes);
    if (bytes.isEmpty() || decoder.hasError())
        return std::nullopt;
    return bytes;
}

int runPrintAgentInstances(const Ports &ports)
{
    const AgentInstanceScanner scanner(ports.workspace, ports.processTable, ports.codeSigning);
    const std::optional<QByteArray> json = agentInstanceListingJSON(scanner.reconcile({}));
    if (!json)
        return 1;
    cli::writeStdoutLine(*json);
    return 0;
}

}  // namespace mornix
