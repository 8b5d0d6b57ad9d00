#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <typeindex>
#include <typeinfo>
#include <unordered_map>

#include "HostApp/App/ViewModels.h"

class QWidget;

namespace qm {

// A window model whose type has no view: a programming error, reported with the type's name.
class UnregisteredModelType : public std::logic_error {
public:
    explicit UnregisteredModelType(const std::string& typeName);
    const std::string& typeName() const { return typeName_; }

private:
    std::string typeName_;
};

// Makes the Qt view of a window model, chosen by the model's exact type. Each type's view factory
// is registered once; a model of any other type (a subclass of a registered type included) is an
// error that names the type, never a window without a view.
class ViewRegistry {
public:
    using Factory = std::function<QWidget*(const std::shared_ptr<WindowModel>&)>;

    // `View` is built from a `std::shared_ptr<Model>`. Registering a type twice is an error.
    template <class Model, class View>
    void add() {
        add(typeid(Model), [](const std::shared_ptr<WindowModel>& model) -> QWidget* {
            return new View(std::static_pointer_cast<Model>(model));
        });
    }
    void add(const std::type_info& modelType, Factory factory);

    bool contains(const std::type_info& modelType) const;
    // A new top-level view of `model`; throws UnregisteredModelType for an unknown type.
    QWidget* makeView(const std::shared_ptr<WindowModel>& model) const;

    // A type's readable name ("qm::SummaryWindowModel").
    static std::string typeName(const std::type_info& type);

private:
    std::unordered_map<std::type_index, Factory> factories_;
};

// The registry of every window model the Host application shows.
ViewRegistry hostViewRegistry();

}  // namespace qm
