#include "app/async_mode.h"

#include <QCoreApplication>
#include <QTimer>

namespace mornix {

namespace {

QCoro::Task<void> runAndExit(std::function<QCoro::Task<int>()> body)
{
    const int status = co_await body();
    QCoreApplication::exit(status);
}

}  // namespace

int runAsyncMode(int &argc, char **argv, std::function<QCoro::Task<int>()> body)
{
    QCoreApplication app(argc, argv);
    QTimer::singleShot(0, &app, [body = std::move(body)]() mutable { runAndExit(std::move(body)); });
    return app.exec();
}

}  // namespace mornix
