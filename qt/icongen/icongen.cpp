// Writes the program's icon as a PNG file at build time:
//   icongen FILE SIZE
#include <QImage>
#include <QString>

#include <cstdio>
#include <cstdlib>

#include "qt/AppIcon.h"

using namespace korvan;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: icongen FILE SIZE\n");
        return 2;
    }
    const int size = std::atoi(argv[2]);
    if (size < 16 || size > 1024) {
        std::fprintf(stderr, "icongen: size %s is not in 16..1024\n", argv[2]);
        return 2;
    }
    if (!AppIconImage(size).save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "icongen: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
