// Test helper: takes a RuntimeLock in the given directory, prints "locked" or "busy", then
// holds it until standard input is closed.
#include "app/runtime_lock.h"
#include "platform/system_log.h"

#include <cstdio>
#include <iostream>
#include <string>

namespace mornix {

namespace {
class StderrLog final : public SystemLog {
public:
    void write(Level, const QString &message) override { std::fprintf(stderr, "%s\n", qPrintable(message)); }
};
}  // namespace

}  // namespace mornix

using namespace mornix;

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    StderrLog log;
    auto lock = RuntimeLock::acquireIn(QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]), log);
    std::printf("%s\n", lock ? "locked" : "busy");
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    return lock ? 0 : 1;
}
