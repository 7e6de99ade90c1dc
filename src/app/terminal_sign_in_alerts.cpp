#include "app/terminal_sign_in_alerts.h"

#include "app/cli_output.h"

namespace mornix {

void TerminalSignInAlerts::showWarning(const QString &title, const QString &text)
{
    cli::writeStderr(title + QLatin1Char('\n') + text + QLatin1Char('\n'));
}

void TerminalSignInAlerts::showInformational(const QString &title, const QString &text)
{
    cli::writeStderr(title + QLatin1Char('\n') + text + QLatin1Char('\n'));
}

}  // namespace mornix
