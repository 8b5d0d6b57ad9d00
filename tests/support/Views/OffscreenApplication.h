#pragma once

#include <QApplication>

namespace qm::test {

// The test binary's one application, on Qt's offscreen platform, made by whichever test asks
// first and never destroyed: Qt's own globals may be gone by the time a static one would be.
inline QApplication& offscreenApplication() {
    if (auto* existing = qobject_cast<QApplication*>(QCoreApplication::instance())) return *existing;
    static int argc = 1;
    static char name[] = "views";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return *new QApplication(argc, argv);
}

}  // namespace qm::test
