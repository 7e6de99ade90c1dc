#include "app/app_delegate.h"

AppDelegate::AppDelegate(Arguments arguments, Ports ports, QObject *parent)
    : QObject(parent)
    , m_arguments(std::move(arguments))
    , m_ports(std::move(ports))
{
}

void AppDelegate::applicationDidFinishLaunching()
{
    m_ports.systemLog->info(QStringLiteral("VeltroMornix launched"));
}
