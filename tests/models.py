"""The documented behaviour of each native operation, written as plain Python: the one
model that the differential and hostile tests compare the native code with.

Each model reads the same attributes, calls the same methods and adds in the same order
as the operation it stands for, so that callbacks which count, mutate or raise see the
same sequence of calls from either side. The methods of `ModelTrace` only use `_events`
and public methods, so they also run unbound on a native `Trace`
(`ModelTrace.get_messages(trace)`). Child interpreters import this module too (the
child runner puts this folder on their path).

`benchmarks/baseline.py` is a separate plain-Python implementation on purpose: it is
what the native code is timed against, written the straightforward way with its own
pydantic records, and it must not change when a test needs a finer model.
"""

import json

from orrinth.trace import CostSummary, TraceEvent


class ModelTrace:
    """Trace, operation by operation."""

    def __init__(self):
        self._events = []
        self.results = []

    def add_event(self, event):
        self._events.append(event)

    @property
    def events(self):
        return list(self._events)

    def get_messages(self):
        return [e for e in self._events if e.type == "message"]

    def get_events_for_agent(self, name):
        return [e for e in self._events if e.agent == name]

    def snapshot(self, up_to_turn):
        if type(up_to_turn) is not int:
            t = type(up_to_turn)
            if not (hasattr(t, "__int__") or hasattr(t, "__index__") or hasattr(t, "__float__")
                    or isinstance(up_to_turn, complex)):
                raise TypeError("Argument 'up_to_turn' has incorrect type (expected int, got %s)"
                                % t.__name__)
            up_to_turn = int(up_to_turn)
        snap = ModelTrace()
        for e in self._events:
            if e.type == "property_check":
                continue
            if e.turn <= up_to_turn:
                snap.add_event(e)
        return snap

    def cost_summary(self):
        """Plain `a = a + b` additions in event order (not `+=`: the native sum calls the
        binary operator, whose error messages differ); each field is read once."""
        per_agent, total_in, total_out, total_cost = {}, 0, 0, 0.0
        for e in self.get_messages():
            key = e.agent or "__unknown__"
            entry = per_agent.get(key)  # one lookup, and one store for a new agent
            if entry is None:
                entry = per_agent[key] = {"input_tokens": 0, "output_tokens": 0,
                                          "cost_usd": 0.0, "turns": 0}
            i, o, c = e.input_tokens, e.output_tokens, e.cost_usd
            entry["input_tokens"] = entry["input_tokens"] + i
            entry["output_tokens"] = entry["output_tokens"] + o
            entry["cost_usd"] = entry["cost_usd"] + c
            entry["turns"] = entry["turns"] + 1
            total_in = total_in + i
            total_out = total_out + o
            total_cost = total_cost + c
        return CostSummary(total_input_tokens=total_in, total_output_tokens=total_out,
                           total_cost_usd=total_cost, per_agent=per_agent)

    @classmethod
    def from_jsonl(cls, path):
        result = cls()
        f = path.open()
        try:
            for line in f:
                line = line.strip()
                if line:
                    result.add_event(TraceEvent.model_validate(json.loads(line)))
        finally:
            f.close()
        return result

    def to_jsonl(self, path):
        path.parent.mkdir(parents=True, exist_ok=True)
        f = path.open("w")
        try:
            for e in self._events:
                f.write(e.model_dump_json() + "\n")
        finally:
            f.close()


def metadata(result):
    """The metadata that receive() makes of a dict result."""
    return {k: v for k, v in result.items() if k != "content"}


def response_arguments(result):
    """The keyword arguments that receive() passes to Response for a str or dict result."""
    if isinstance(result, str):
        return {"content": result}
    return {"content": result.get("content", ""), "metadata": metadata(result)}


def receive(agent, message):
    """RawAgent.receive, for an agent object with RawAgent's attributes."""
    import orrinth.adapters.raw as raw

    msg = {"sender": message.sender, "content": message.content, "turn": message.turn}
    if agent._accepts_state:
        result = agent._handler(msg, agent._state)
    else:
        result = agent._handler(msg)
    if isinstance(result, (str, dict)):
        return raw.Response(**response_arguments(result))
    raise TypeError(f"Handler for agent '{agent._name}' returned {type(result).__name__}; "
                    "expected str or dict with 'content' key.")
