#include "app/standard_input.h"

#include <cerrno>
#include <unistd.h>

namespace mornix {

std::optional<QByteArray> readStandardInput(qsizetype limit, int fd, bool *readError)
{
    if (readError)
        *readError = false;
    QByteArray data;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (readError)
                *readError = true;
            return std::nullopt;
        }
        if (n == 0)
            return data;
        data.append(chunk, n);
        if (data.size() > limit)
            return std::nullopt;
    }
}

}  // namespace mornix
