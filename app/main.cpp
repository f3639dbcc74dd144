#include "app/kelm.h"

#include <QApplication>

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    Kelm window;
    window.show();
    return QApplication::exec();
}
