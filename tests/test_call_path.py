"""add_event and receive remember what they read between calls; every change in between
must show in the next call as it would in Python code reading the attribute anew."""
from hypothesis import given, settings, strategies as st

import orrinth.adapters.raw as raw
from orrinth.agent import Message, Response
from orrinth.trace import Trace, TraceEvent


def handler(tag):
    def answer(message, *state):
        return f"{tag}{len(state)}:{message['content']}"
    return answer


class OtherResponse(Response):
    pass


TRACE_STEPS = st.sampled_from(["add", "add", "new list", "tuple-like", "delete", "slot shadow",
                               "results", "reinit"])
AGENT_STEPS = st.sampled_from(["receive", "receive", "handler", "state on", "state off",
                               "new state", "Response", "results"])


class Shadowed(list):
    def append(self, item):
        super().append(("via own append", item))


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(TRACE_STEPS, st.integers(0, 1)), max_size=25))
def test_add_event_follows_every_change_of_events(steps):
    traces = [Trace(), Trace()]
    event = TraceEvent(type="message", turn=1)
    for step, i in steps:
        t = traces[i]
        if step == "add":
            if "_events" not in vars(t):
                try:
                    t.add_event(event)
                except AttributeError:
                    continue
                raise AssertionError("add_event without _events succeeded")
            before = list(t._events)
            t.add_event(event)
            expected = ("via own append", event) if type(t._events) is Shadowed else event
            assert list(t._events) == before + [expected]
        elif step == "new list":
            t._events = []
        elif step == "tuple-like":
            t._events = Shadowed(getattr(t, "_events", []))
        elif step == "delete":
            vars(t).pop("_events", None)
        elif step == "slot shadow":
            t.add_event_extra = 1  # another change of the same instance dict
        elif step == "results":
            t.results.append(step)
        else:
            t.__init__()


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(AGENT_STEPS, st.integers(0, 1)), max_size=25))
def test_receive_follows_every_change_of_the_agent(steps):
    agents = [raw.RawAgent("a", handler("first")), raw.RawAgent("b", handler("second"))]
    current = [("first", 1), ("second", 1)]  # *state counts as a second parameter
    response_cls = raw.Response
    try:
        for n, (step, i) in enumerate(steps):
            agent = agents[i]
            if step == "receive":
                reply = agent.receive(Message("user", f"m{n}", n))
                tag, with_state = current[i]
                assert type(reply) is raw.Response
                assert reply.content == f"{tag}{with_state}:m{n}"
            elif step == "handler":
                current[i] = (f"h{n}", current[i][1])
                agent._handler = handler(f"h{n}")
            elif step in ("state on", "state off"):
                agent._accepts_state = step == "state on"
                current[i] = (current[i][0], int(step == "state on"))
            elif step == "new state":
                agent._state = {"n": n}
            elif step == "Response":
                raw.Response = OtherResponse if raw.Response is response_cls else response_cls
            else:
                agent.extra = n  # another change of the same instance dict
    finally:
        raw.Response = response_cls
