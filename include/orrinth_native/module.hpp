// include/orrinth_native/module.hpp: what every native module of this package has alike:
// its state, its interned names, the collector's view of both, and the definition that
// hands them to the import system (multi-phase initialisation, so each import of the
// module gets a state of its own).
#pragma once

#include "fast_paths.hpp"
#include "function.hpp"

#include <type_traits>

namespace orrinth {

/// Declares, inside a state struct, one `PyObject *str_<field>` per `X(field, text)` of
/// `LIST`, and `for_each_name(f)`, which calls `f(PyObject *&field, const char *text)`
/// on each of them in list order.
#define ORRINTH_NAME_FIELD(field, text) PyObject *str_##field;
#define ORRINTH_NAME_CALL(field, text) f(str_##field, text);
#define ORRINTH_INTERNED_NAMES(LIST)           \
    LIST(ORRINTH_NAME_FIELD)                   \
    template <class F>                         \
    void for_each_name(F &&f) {                \
        LIST(ORRINTH_NAME_CALL)                \
    }

/// The module definition and its exec/traverse/clear/free functions for one `State`.
/// The interpreter allocates the state zeroed; `State` supplies:
///
///   static constexpr const char *kModuleName;    // "orrinth.trace"
///   static constexpr const char *kFunctionType;  // "orrinth.trace.native_function"
///   static constexpr bool kOwnGil;               // may load in an interpreter with a
///                                                // GIL of its own (3.12 and later)
///   PyObject *fn_type;                           // created here, before the body runs
///   ORRINTH_INTERNED_NAMES(...)                  // interned here, before the body runs
///   void exec(PyObject *module);                 // the module body
///   template <class F> void for_each_ref(F &&f); // f(PyObject *&) on every other
///                                                // reference the state owns
///   void forget_borrowed();                      // drop what only borrows from the owned
///                                                // references (before they are cleared)
///
/// Every owned reference is listed once, so that the collector sees all of them and
/// clearing drops all of them.
template <class State>
struct ModuleDefinition {
    // The interpreter allocates the state zeroed and frees it without running any
    // destructor; the body constructs its fields in place (placement new). That is sound
    // only for types with nothing to destroy.
    static_assert(std::is_trivially_destructible_v<State>,
                  "module state must be trivially destructible: it is freed without destructors");

    static State *state_of(PyObject *module) {
        return static_cast<State *>(PyModule_GetState(module));
    }

    template <class F>
    static void for_each_owned(State &st, F &&f) {
        f(st.fn_type);
        st.for_each_name([&](PyObject *&name, const char *) { f(name); });
        st.for_each_ref(f);
    }

    static int exec(PyObject *module) {
        return entry_int([&] {
            // Native functions release references through the checked path once the
            // interpreter starts exiting (thread_exit.hpp).
            require(watch_interpreter_exit());
            State &st = *state_of(module);
            st.for_each_name([](PyObject *&field, const char *text) {
                field = require(PyUnicode_InternFromString(text)).release();
            });
            st.fn_type = make_function_type(module, State::kFunctionType).release();
            st.exec(module);
            return 0;
        });
    }

    static int traverse(PyObject *module, visitproc visit, void *arg) {
        State *st = state_of(module);
        if (!st) return 0;
        int rc = 0;
        // A container the collector does not track cannot be part of a cycle, and is not
        // shown to Python through gc.get_referents() either: private tables such as the
        // message-dict template stay out of reach of code that walks the module's state.
        for_each_owned(*st, [&](PyObject *&field) {
            if (rc == 0 && field && (!PyObject_IS_GC(field) || PyObject_GC_IsTracked(field)))
                rc = visit(field, arg);
        });
        return rc;
    }

    static int clear(PyObject *module) {
        State *st = state_of(module);
        if (!st) return 0;
        st->forget_borrowed();
        for_each_owned(*st, [](PyObject *&field) { Py_CLEAR(field); });
        return 0;
    }

    static void free(void *module) { clear(static_cast<PyObject *>(module)); }

    /// The PyInit_<name> result.
    static PyObject *init() noexcept {
        static PyModuleDef_Slot slots[] = {
            {Py_mod_exec, reinterpret_cast<void *>(exec)},
#if ORRINTH_API_312
            {Py_mod_multiple_interpreters, State::kOwnGil
                                               ? Py_MOD_PER_INTERPRETER_GIL_SUPPORTED
                                               : Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
            {0, nullptr},
        };
        static PyModuleDef def = {
            PyModuleDef_HEAD_INIT,
            State::kModuleName,
            nullptr,  // no docstring
            sizeof(State),
            nullptr,
            slots,
            traverse,
            clear,
            free,
        };
        return PyModuleDef_Init(&def);
    }
};

}  // namespace orrinth
