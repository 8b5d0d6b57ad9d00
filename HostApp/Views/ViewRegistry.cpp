#include "HostApp/Views/ViewRegistry.h"

#include <cxxabi.h>

#include <cstdlib>

#include <QWidget>

#include "HostApp/Views/AboutPanelView.h"
#include "HostApp/Views/DetailWindowView.h"
#include "HostApp/Views/SummaryWindowView.h"
#include "HostApp/Views/UpdateWindowViews.h"

namespace qm {

UnregisteredModelType::UnregisteredModelType(const std::string& typeName)
    : std::logic_error("no view registered for model type " + typeName), typeName_(typeName) {}

std::string ViewRegistry::typeName(const std::type_info& type) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? demangled : type.name();
    std::free(demangled);
    return name;
}

void ViewRegistry::add(const std::type_info& modelType, Factory factory) {
    if (!factory) throw std::invalid_argument("no view factory for model type " + typeName(modelType));
    if (!factories_.emplace(std::type_index(modelType), std::move(factory)).second) {
        throw std::logic_error("a view is already registered for model type " + typeName(modelType));
    }
}

bool ViewRegistry::contains(const std::type_info& modelType) const {
    return factories_.count(std::type_index(modelType)) != 0;
}

QWidget* ViewRegistry::makeView(const std::shared_ptr<WindowModel>& model) const {
    if (!model) throw std::invalid_argument("no window model to make a view of");
    const WindowModel& object = *model;
    const std::type_info& type = typeid(object);
    auto found = factories_.find(std::type_index(type));
    if (found == factories_.end()) throw UnregisteredModelType(typeName(type));
    return found->second(model);
}

ViewRegistry hostViewRegistry() {
    ViewRegistry registry;
    registry.add<SummaryWindowModel, SummaryWindowView>();
    registry.add<DetailWindowModel, DetailWindowView>();
    registry.add<AboutPanelModel, AboutPanelView>();
    registry.add<HostAutoUpdateCountdownWindow, CountdownWindowView>();
    registry.add<HostUpdateProgressWindow, UpdateProgressWindowView>();
    return registry;
}

}  // namespace qm
