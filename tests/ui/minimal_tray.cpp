// The smallest Qt tray program with a checkable item, for comparing a panel's handling of
// Qt's dbusmenu export with the agent's: no handler changes the item, Qt alone toggles it.
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QMenu menu;
    QAction *check = menu.addAction(QStringLiteral("Check me"));
    check->setCheckable(true);
    menu.addSeparator();
    QObject::connect(menu.addAction(QStringLiteral("Quit")), &QAction::triggered, &app, &QApplication::quit);

    QPixmap image(22, 22);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setBrush(Qt::black);
    painter.drawEllipse(3, 3, 16, 16);
    painter.end();
    QSystemTrayIcon tray{QIcon(image)};
    tray.setContextMenu(&menu);
    tray.show();
    return app.exec();
}
