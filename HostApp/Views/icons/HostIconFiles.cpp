// Writes the Host's icon into an icon theme folder, drawn by the code the running Host draws it
// with: FOLDER/<size>x<size>/apps/quillmere-host.png for every SIZE given. The build runs it; the
// install puts the folder under share/icons/hicolor, where the desktop entry's Icon= finds it.
//   qm_host_icon_files FOLDER SIZE...
#include <QDir>
#include <QImage>
#include <QString>

#include <cstdio>

#include "HostApp/Views/HostIcons.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FOLDER SIZE...\n", argv[0]);
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    for (int i = 2; i < argc; ++i) {
        bool number = false;
        const int size = QString::fromLocal8Bit(argv[i]).toInt(&number);
        if (!number || size < 16 || size > 1024) {
            std::fprintf(stderr, "%s: not an icon size: %s\n", argv[0], argv[i]);
            return 2;
        }
        const QString apps = QStringLiteral("%1/%2x%2/apps").arg(folder).arg(size);
        const QString file = apps + QStringLiteral("/quillmere-host.png");
        if (!QDir().mkpath(apps) || !qm::drawnHostIconImage(size).save(file, "PNG")) {
            std::fprintf(stderr, "%s: cannot write %s\n", argv[0], file.toLocal8Bit().constData());
            return 1;
        }
    }
    return 0;
}
