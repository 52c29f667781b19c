// src/orrinth/trace/cost.cpp: Trace.cost_summary, token and cost totals over the messages.
#include "trace.hpp"

#include <cstdint>
#include <vector>

namespace orrinth::trace {
namespace {

/// An operand of IntSum: the object, and its C value when it is an exact int that fits
/// in 64 bits.
struct IntOperand {
    PyObject *obj;
    long long value = 0;
    bool fits_64_bits = false;
    explicit IntOperand(PyObject *o) : obj(o) {
        if (PyLong_CheckExact(o)) {
            int overflow = 0;
            value = PyLong_AsLongLongAndOverflow(o, &overflow);
            fits_64_bits = !overflow;
        }
    }
};

/// An integer running sum that starts at 0. Exact ints are added in C while the sum
/// fits in 64 bits; after that, or on any other operand, the sum becomes a Python
/// object and every further addition is the interpreter's `+`.
class IntSum {
  public:
    void add(const IntOperand &x) {
        long long sum;
        if (!obj_ && x.fits_64_bits && !__builtin_add_overflow(fast_, x.value, &sum)) {
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

    void add(const IntOperand &in, const IntOperand &out, PyObject *cost) {
        input_tokens.add(in);
        output_tokens.add(out);
        cost_usd.add(cost);
    }
};

/// The sums of each agent, in order of its first message. Agents are told apart as dict
/// keys are (hash and `==`), through a dict from agent key to slot number. Python code
/// can reach that dict (an agent key's `__eq__` runs during lookups and may find it with
/// gc.get_referrers), so a slot read back from it is checked before use, and the keys of
/// the result come from this table, not from the dict.
class AgentTable {
  public:
    AgentTable() : index_(require(PyDict_New())) {}

    /// The sums of `key`'s agent, a new slot for an agent not seen before. Valid until
    /// the next call.
    AgentSums &slot_for(PyObject *key) {
        Ref found = dict_get(index_.get(), key);  // may run __eq__
        if (found) {
            const size_t slot =
                PyLong_CheckExact(found.get()) ? PyLong_AsSize_t(found.get()) : SIZE_MAX;
            if (slot < sums_.size()) return sums_[slot];
            throw changed_during_walk();
        }
        Ref pos = require(PyLong_FromSize_t(sums_.size()));
        require(PyDict_SetItem(index_.get(), key, pos.get()));  // may run __eq__
        if (static_cast<size_t>(PyDict_GET_SIZE(index_.get())) != keys_.size() + 1)
            throw changed_during_walk();
        keys_.push_back(Ref::new_ref(key));
        sums_.emplace_back();
        return sums_.back();
    }

    /// `{agent: {"input_tokens": ..., "output_tokens": ..., "cost_usd": ..., "turns": ...}}`
    Ref per_agent(TraceState &st) const {
        Ref table = require(PyDict_New());
        for (size_t i = 0; i < keys_.size(); i++) {
            const AgentSums &a = sums_[i];
            Ref entry = require(PyDict_New());
            Ref turns = require(PyLong_FromSsize_t(a.turns));
            require(PyDict_SetItem(entry.get(), st.str_input_tokens, a.input_tokens.value().get()));
            require(PyDict_SetItem(entry.get(), st.str_output_tokens, a.output_tokens.value().get()));
            require(PyDict_SetItem(entry.get(), st.str_cost_usd, a.cost_usd.value().get()));
            require(PyDict_SetItem(entry.get(), st.str_turns, turns.get()));
            require(PyDict_SetItem(table.get(), keys_[i].get(), entry.get()));
        }
        return table;
    }

  private:
    static PyErrSet changed_during_walk() {
        PyErr_Clear();  // a failed conversion of a planted slot says less than this
        return raise(PyExc_RuntimeError, "cost_summary's agent table changed during the walk");
    }

    Ref index_;  // agent key -> slot in sums_ (an exact int)
    std::vector<Ref> keys_;
    std::vector<AgentSums> sums_;
};

/// The token and cost totals over all messages of a trace (CostSummary's total_* fields).
struct Totals {
    IntSum input_tokens, output_tokens;
    FloatSum cost_usd;
};

/// One pass over the messages: the totals, and the sums per agent in `agents`.
void sum_messages(TraceState &st, PyObject *messages, AgentTable &agents, Totals &totals) {
    InstanceDictReader &fields = st.event_fields;
    for_each(messages, [&](PyObject *event) __attribute__((always_inline)) {
        Ref agent = fields.get(event, st.str_agent);
        Ref key = truth(agent.get()) ? std::move(agent) : Ref::new_ref(st.str_unknown);
        AgentSums &sums = agents.slot_for(key.get());
        Ref in = fields.get(event, st.str_input_tokens);
        Ref out = fields.get(event, st.str_output_tokens);
        Ref cost = fields.get(event, st.str_cost_usd);
        const IntOperand in_value(in.get()), out_value(out.get());
        sums.add(in_value, out_value, cost.get());
        sums.turns++;
        totals.input_tokens.add(in_value);
        totals.output_tokens.add(out_value);
        totals.cost_usd.add(cost.get());
    }, ListPrefetcher(reinterpret_cast<PyTypeObject *>(st.trace_event_cls)));
}

/// `CostSummary(total_input_tokens=..., total_output_tokens=..., total_cost_usd=...,
/// per_agent=...)`, the class looked up as the module-level name.
Ref make_summary(FnObject *fn, TraceState &st, const Totals &totals, PyObject *per_agent) {
    Ref cls = load_global(fn, st.str_CostSummary);
    Ref kwnames = require(PyTuple_Pack(4, st.str_total_input_tokens, st.str_total_output_tokens,
                                       st.str_total_cost_usd, st.str_per_agent));
    Ref in = totals.input_tokens.value(), out = totals.output_tokens.value();
    Ref cost = totals.cost_usd.value();
    PyObject *stack[] = {in.get(), out.get(), cost.get(), per_agent};
    return require(PyObject_Vectorcall(cls.get(), stack, 0, kwnames.get()));
}

Ref trace_cost_summary(FnObject *fn, PyObject *const *args) {
    TraceState &st = state(fn);
    AgentTable agents;
    Totals totals;
    Ref messages = call_method(args[0], st.str_get_messages);
    sum_messages(st, messages.get(), agents, totals);
    return make_summary(fn, st, totals, agents.per_agent(st).get());
}

const Param kSelf[] = {{"self", nullptr}};

}  // namespace

const FunctionDef cost_summary_def = {"cost_summary", "Trace.cost_summary",
                                      "Aggregate token and cost data across all message events.",
                                      "CostSummary", kSelf, 1, trace_cost_summary};

}  // namespace orrinth::trace
