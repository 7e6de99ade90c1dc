// The floor of a command-line mode: a program linked against the Qt libraries the agent links
// (Core, Network, D-Bus) that constructs a QCoreApplication and prints one line. bench/run-all
// times it as the reference of the agent's command-line modes; it does nothing else, so a mode's
// ratio to it is what the mode costs beyond loading Qt.
#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::fputs("{\"floor\":true}\n", stdout);
    return 0;
}
