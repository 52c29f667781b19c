// src/orrinth/trace/snapshot.cpp: Trace.snapshot, the trace as it stood at the end of a turn.
#include "trace.hpp"

namespace orrinth::trace {
namespace {

/// `left <= right` as an `if` takes it; exact ints compared in C.
bool less_equal(PyObject *left, PyObject *right) {
    if (PyLong_CheckExact(left) && PyLong_CheckExact(right)) {
        int overflow_left = 0, overflow_right = 0;
        long a = PyLong_AsLongAndOverflow(left, &overflow_left);
        long b = PyLong_AsLongAndOverflow(right, &overflow_right);
        if (!overflow_left && !overflow_right) return a <= b;
    }
    return compare(left, right, Py_LE);
}

/// A number in the interpreter's sense: integer, index or float conversion, or complex.
bool is_number(PyObject *obj) {
    PyNumberMethods *nb = Py_TYPE(obj)->tp_as_number;
    if (nb && (nb->nb_int || nb->nb_index || nb->nb_float)) return true;
    return PyComplex_Check(obj);
}

/// The bound as an exact int: ints unchanged, other numbers through int(), the rest refused.
Ref turn_bound(PyObject *arg) {
    if (PyLong_CheckExact(arg)) return Ref::new_ref(arg);
    if (is_number(arg)) return require(PyNumber_Long(arg));
    raise_incorrect_type("up_to_turn", "int", Py_TYPE(arg)->tp_name, false);
}

Ref trace_snapshot(FnObject *fn, PyObject *const *args) {
    TraceState &st = state(fn);
    Ref bound = turn_bound(args[1]);
    Ref cls = load_global(fn, st.str_Trace);
    Ref snap = require(PyObject_CallNoArgs(cls.get()));
    Ref events = events_of(st, args[0]);
    // The list that snap.add_event() appends to, dropped whenever Python code may
    // have run since (a generic read, a comparison) and looked up again
    // (reentrancy.hpp).
    Ref target;
    for_each(events.get(), [&](PyObject *event) __attribute__((always_inline)) {
        bool generic = false;
        Ref type = st.event_fields.get(event, st.str_type, &generic);
        generic |= !PyUnicode_CheckExact(type.get());
        if (equals_str(type.get(), st.str_property_check)) {
            if (generic) target = Ref();
            return;
        }
        Ref turn = st.event_fields.get(event, st.str_turn, &generic);
        generic |= !PyLong_CheckExact(turn.get());
        const bool include = less_equal(turn.get(), bound.get());
        if (generic) target = Ref();
        if (!include) return;
        if (!target) target = direct_events_list(st, snap.get());
        if (target)
            list_append(target.get(), event);
        else
            call_method(snap.get(), st.str_add_event, event);
    }, ListPrefetcher(reinterpret_cast<PyTypeObject *>(st.trace_event_cls)));
    return snap;
}

const Param kSelfUpToTurn[] = {{"self", nullptr}, {"up_to_turn", "int"}};

}  // namespace

const FunctionDef snapshot_def = {
    "snapshot",
    "Trace.snapshot",
    "Return a new Trace containing only events with turn <= up_to_turn.\n"
    "\n"
    "        Property_check events (turn=-1) are excluded from snapshots since they\n"
    "        are derived from the full trace, not recorded at a specific turn.\n"
    "\n"
    "        Args:\n"
    "            up_to_turn: Inclusive upper bound on turn numbers to include.\n"
    "        ",
    "Trace",
    kSelfUpToTurn,
    2,
    trace_snapshot,
};

}  // namespace orrinth::trace
