// src/orrinth/trace/cost.cpp: Trace.cost_summary, token and cost totals over the messages.
#include "trace.hpp"

#include <cstdint>
#include <vector>

namespace orrinth::trace {
namespace {

/// An integer running sum that starts at 0. Exact ints are added in C while the sum
/// fits in 64 bits; after that, or on any other operand, the sum becomes a Python
/// object and every further addition is the interpreter's `+`.
/// An operand of IntSum, with its C value when it is an exact int that fits 64 bits.
struct IntOperand {
    PyObject *obj;
    long long value = 0;
    bool small = false;
    explicit IntOperand(PyObject *o) : obj(o) {
        if (PyLong_CheckExact(o)) {
            int overflow = 0;
            value = PyLong_AsLongLongAndOverflow(o, &overflow);
            small = !overflow;
        }
    }
};

class IntSum {
  public:
    void add(const IntOperand &x) {
        long long sum;
        if (!obj_ && x.small && !__builtin_add_overflow(fast_, x.value, &sum)) {
            fast_ = sum;
            return;
        }
        if (!obj_) obj_ = require(PyLong_FromLongLong(fast_));
        obj_ = require(PyNumber_Add(obj_.get(), x.obj));
    }
    Ref value() const { return obj_ ? obj_.dup() : require(PyLong_FromLongLong(fast_)); }

  private:
    long long fast_ = 0;
    Ref obj_;
};

/// A floating-point running sum that starts at 0.0, added in order. Exact floats are
/// added as doubles, which is what float.__add__ does; any other operand switches to the
/// interpreter's `+` for the rest of the sum.
class FloatSum {
  public:
    void add(PyObject *x) {
        if (!obj_ && PyFloat_CheckExact(x)) {
            fast_ += PyFloat_AS_DOUBLE(x);
            return;
        }
        if (!obj_) obj_ = require(PyFloat_FromDouble(fast_));
        obj_ = require(PyNumber_Add(obj_.get(), x));
    }
    Ref value() const { return obj_ ? obj_.dup() : require(PyFloat_FromDouble(fast_)); }

  private:
    double fast_ = 0.0;
    Ref obj_;
};

struct AgentSums {
    IntSum input_tokens, output_tokens;
    FloatSum cost_usd;
    Py_ssize_t turns = 0;  // one per message: cannot outgrow a Py_ssize_t
};

PyObject *trace_cost_summary(FnObject *fn, PyObject *const *args) {
    return entry([&] {
        TraceState &st = state(fn);
        // Agent key -> index into `sums`, in order of first message.
        Ref index = require(PyDict_New());
        std::vector<AgentSums> sums;
        IntSum total_in, total_out;
        FloatSum total_cost;

        Ref messages = call_method(args[0], st.str_get_messages);
        for_each(messages.get(), [&](PyObject *event) {
            Ref agent = st.event_fields.get(event, st.str_agent);
            Ref key = truth(agent.get()) ? std::move(agent) : Ref::borrow(st.str_unknown);
            PyObject *found = PyDict_GetItemWithError(index.get(), key.get());
            size_t slot;
            if (found) {
                slot = PyLong_AsSize_t(found);
            } else {
                if (PyErr_Occurred()) throw PyErrSet{};
                slot = sums.size();
                Ref pos = require(PyLong_FromSize_t(slot));
                require(PyDict_SetItem(index.get(), key.get(), pos.get()));
                sums.emplace_back();
            }
            // No Python code runs between these reads but their own fallbacks.
            InstanceDictReader::Fields fields(st.event_fields, event);
            Ref in = fields.get(st.str_input_tokens);
            Ref out = fields.get(st.str_output_tokens);
            Ref cost = fields.get(st.str_cost_usd);
            const IntOperand in_value(in.get()), out_value(out.get());
            AgentSums &a = sums[slot];
            a.input_tokens.add(in_value);
            a.output_tokens.add(out_value);
            a.cost_usd.add(cost.get());
            a.turns++;
            total_in.add(in_value);
            total_out.add(out_value);
            total_cost.add(cost.get());
        }, ListPrefetcher(reinterpret_cast<PyTypeObject *>(st.trace_event_cls)));

        // The per-agent table, keys in order of first message.
        Ref per_agent = require(PyDict_New());
        PyObject *key, *pos;
        Py_ssize_t it = 0;
        while (PyDict_Next(index.get(), &it, &key, &pos)) {
            const AgentSums &a = sums[PyLong_AsSize_t(pos)];
            Ref entry_dict = require(PyDict_New());
            require(PyDict_SetItem(entry_dict.get(), st.str_input_tokens, a.input_tokens.value().get()));
            require(PyDict_SetItem(entry_dict.get(), st.str_output_tokens, a.output_tokens.value().get()));
            require(PyDict_SetItem(entry_dict.get(), st.str_cost_usd, a.cost_usd.value().get()));
            require(PyDict_SetItem(entry_dict.get(), st.str_turns, require(PyLong_FromSsize_t(a.turns)).get()));
            require(PyDict_SetItem(per_agent.get(), key, entry_dict.get()));
        }

        Ref cls = load_global(fn, st.str_CostSummary);
        Ref kwnames = require(PyTuple_Pack(4, st.str_total_input_tokens, st.str_total_output_tokens,
                                           st.str_total_cost_usd, st.str_per_agent));
        Ref v_in = total_in.value(), v_out = total_out.value(), v_cost = total_cost.value();
        PyObject *stack[] = {v_in.get(), v_out.get(), v_cost.get(), per_agent.get()};
        return require(PyObject_Vectorcall(cls.get(), stack, 0, kwnames.get()));
    });
}

const Param kSelf[] = {{"self", nullptr}};

}  // namespace

const FunctionDef cost_summary_def = {"cost_summary", "Trace.cost_summary",
                                      "Aggregate token and cost data across all message events.",
                                      "CostSummary", kSelf, 1, trace_cost_summary};

}  // namespace orrinth::trace
