// Module bodies: what a module does while it is imported, written top to bottom.
//
//   void body(kr::Module& m) {
//       m.import("os");
//       m.from_import("jose", {"jwt"});
//       m.global("warnings").attr("filterwarnings")("ignore");
//       m.def(validate_token_spec);
//   }
//   KORVANE_MODULE(wardlock, "korvane.validation.wardlock", "docstring", body)
//
// Modules use multi-phase initialisation: the import system creates the module object
// and sets __file__ and __spec__ before the body runs, a body that raises leaves no module
// behind, and importing again runs the body again.
#pragma once

#include <initializer_list>

#include "runtime/function.hpp"
#include "runtime/scope.hpp"
#include "runtime/values.hpp"

namespace kr {

// Objects a module keeps at import for its functions, out of reach of rebinding.
inline constexpr std::size_t capture_slots = 4;

class Module {
public:
    explicit Module(PyObject* module);

    // `import name` (binds the top-level package) and `import name as alias`.
    void import(const char* name);
    void import_as(const char* name, const char* alias);
    // `import name` of a top-level module, run when the name is first read from this
    // module (a module-level __getattr__ imports it then and binds it). Until then
    // sys.modules holds nothing of it, so another thread's own `import name` is an
    // ordinary import, with the import system's locking; a module that is not installed
    // fails now, as `import` does. One module body calls this once, with every such name.
    void import_at_first_use(std::initializer_list<const char*> names);
    // `from module import a, b` and `from module import a as alias`.
    void from_import(const char* module, std::initializer_list<const char*> names);
    void from_import_as(const char* module, const char* name, const char* alias);

    nb::object global(const char* name) const;
    void set(const char* name, nb::handle value);
    // Binds a function of ours under its name.
    void def(const Spec& spec);
    // Keeps `value` for Scope::captured(slot).
    void capture(std::size_t slot, nb::handle value);

    nb::handle object() const { return module_; }

private:
    nb::object import_module(const char* name, nb::handle fromlist);
    nb::object attribute_of(nb::handle from, const char* module, const char* name);

    PyObject* module_;
    nb::dict namespace_;
};

using Body = void (*)(Module&);

nb::handle module_captured(PyObject* module, std::size_t slot);
// The module's dict watcher in the interpreter it lives in.
DictWatcher& module_dict_watcher(PyObject* module);
void set_module_captured(PyObject* module, std::size_t slot, nb::handle value);

namespace detail {
int run_body(PyObject* module, Body body) noexcept;
int traverse_state(PyObject* module, visitproc visit, void* arg);
int clear_state(PyObject* module);
void free_state(void* module);
struct ModuleState {
    PyObject* captured[capture_slots];
    DictWatcher dict_watcher;
};
}  // namespace detail

}  // namespace kr

#define KORVANE_MODULE(NAME, QUALIFIED_NAME, DOC, BODY)                                       \
    static int NAME##_exec(PyObject* module) { return ::kr::detail::run_body(module, BODY); } \
    static PyModuleDef_Slot NAME##_slots[] = {                                                \
        {Py_mod_exec, reinterpret_cast<void*>(NAME##_exec)}, {0, nullptr}};                  \
    static PyModuleDef NAME##_definition = {                                                  \
        PyModuleDef_HEAD_INIT, QUALIFIED_NAME, DOC, sizeof(::kr::detail::ModuleState),       \
        nullptr, NAME##_slots, ::kr::detail::traverse_state, ::kr::detail::clear_state,      \
        ::kr::detail::free_state};                                                            \
    extern "C" PyMODINIT_FUNC PyInit_##NAME() { return PyModuleDef_Init(&NAME##_definition); }
