#pragma once

#include <QApplication>

#include <memory>
#include <string>

namespace qm::test {

// An application on Qt's X platform, on the test's X display (a VirtualXServer's name). One per
// process: Qt's X platform does not come back for a second one.
inline std::unique_ptr<QApplication> xcbApplicationOn(const std::string& display) {
    qputenv("QT_QPA_PLATFORM", "xcb");
    qputenv("DISPLAY", QByteArray::fromStdString(display));
    static int argc = 1;
    static char name[] = "desktop_views_tests";
    static char* argv[] = {name, nullptr};
    return std::make_unique<QApplication>(argc, argv);
}

}  // namespace qm::test
