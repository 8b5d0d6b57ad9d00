// Views are made by model type: every window the application shows has one, and a model of any
// other type is refused with its name rather than left without a view.
#include <gtest/gtest.h>

#include <QApplication>
#include <QWidget>

#include "HostApp/Views/AboutPanelView.h"
#include "HostApp/Views/DetailWindowView.h"
#include "HostApp/Views/QtHostShell.h"
#include "HostApp/Views/SummaryWindowView.h"
#include "HostApp/Views/UpdateWindowViews.h"
#include "HostApp/Views/ViewRegistry.h"
#include "support/AppHarness.h"

namespace qm::test {
namespace {

QApplication& registryApplication() {
    if (auto* existing = qobject_cast<QApplication*>(QCoreApplication::instance())) return *existing;
    static int argc = 1;
    static char name[] = "views_tests";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static auto* app = new QApplication(argc, argv);
    return *app;
}

// A window the application does not know.
class UnknownPanelModel : public WindowModel {};
// A registered window's subclass is a type of its own.
class SpecialSummaryWindowModel : public SummaryWindowModel {};

TEST(ViewRegistry, EveryWindowTheApplicationShowsGetsItsOwnView) {
    registryApplication();
    auto shell = std::make_shared<QtHostShell>();
    AppHarness app({}, true, shell);
    app.environment.defaults->set("host.autoUpdate.enabled", true);
    app.launch();
    app.delegate->showDetailWindowAction();
    app.delegate->showAboutPanelAction();
    app.answerFeed(QuillmereReleaseFeed{{"9", "9"}, {"1.6", "160"}});
    app.host.clock().runUntilIdle();

    auto& status = app.delegate->status();
    EXPECT_TRUE(dynamic_cast<SummaryWindowView*>(shell->widgetFor(status.summaryWindow.get())));
    EXPECT_TRUE(dynamic_cast<AboutPanelView*>(shell->widgetFor(status.aboutPanel.get())));
    EXPECT_TRUE(dynamic_cast<DetailWindowView*>(shell->widgetFor(app.delegate->details().detailWindow.get())));
    EXPECT_TRUE(dynamic_cast<CountdownWindowView*>(
        shell->widgetFor(app.delegate->updates().autoUpdateCountdownWindow.get())));
    // The progress window is the one model type the launch does not make; its factory is there.
    EXPECT_TRUE(shell->views().contains(typeid(HostUpdateProgressWindow)));
}

TEST(ViewRegistry, AnUnknownModelTypeIsAnErrorThatNamesItAndLeavesNoWindowBehind) {
    registryApplication();
    QtHostShell shell;
    auto unknown = std::make_shared<UnknownPanelModel>();
    try {
        shell.attachWindow(unknown);
        FAIL() << "an unknown model was taken";
    } catch (const UnregisteredModelType& error) {
        EXPECT_EQ(error.typeName(), "qm::test::(anonymous namespace)::UnknownPanelModel");
        EXPECT_EQ(std::string(error.what()),
                  "no view registered for model type qm::test::(anonymous namespace)::UnknownPanelModel");
    }
    EXPECT_EQ(shell.widgetFor(unknown.get()), nullptr);
    // Nothing was recorded: a second attempt fails the same way instead of passing as attached.
    EXPECT_THROW(shell.attachWindow(unknown), UnregisteredModelType);

    // Keyed by the exact type: a subclass does not pass for the window it derives from.
    auto special = std::make_shared<SpecialSummaryWindowModel>();
    EXPECT_THROW(shell.attachWindow(special), UnregisteredModelType);
    EXPECT_EQ(shell.widgetFor(special.get()), nullptr);
}

TEST(ViewRegistry, ATypeIsRegisteredOnceAndOnlyWithAFactory) {
    registryApplication();
    ViewRegistry registry;
    EXPECT_FALSE(registry.contains(typeid(SummaryWindowModel)));
    EXPECT_THROW(registry.makeView(std::make_shared<AboutPanelModel>()), UnregisteredModelType);
    registry.add<SummaryWindowModel, SummaryWindowView>();
    EXPECT_TRUE(registry.contains(typeid(SummaryWindowModel)));
    try {
        registry.add<SummaryWindowModel, SummaryWindowView>();
        FAIL() << "a second view factory for one type was taken";
    } catch (const std::logic_error& error) {
        EXPECT_EQ(std::string(error.what()), "a view is already registered for model type qm::SummaryWindowModel");
    }
    EXPECT_THROW(registry.add(typeid(AboutPanelModel), nullptr), std::invalid_argument);
    EXPECT_FALSE(registry.contains(typeid(AboutPanelModel)));
    EXPECT_THROW(registry.makeView(nullptr), std::invalid_argument);

    registry.add<AboutPanelModel, AboutPanelView>();
    std::unique_ptr<QWidget> view(registry.makeView(std::make_shared<AboutPanelModel>()));
    EXPECT_TRUE(dynamic_cast<AboutPanelView*>(view.get()));
}

}  // namespace
}  // namespace qm::test
