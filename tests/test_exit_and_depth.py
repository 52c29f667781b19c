"""Two inputs that are no argument values: the interpreter exiting while daemon threads are
inside native calls, and recursion that never ends.

The exit cases run in child processes, several times each, since whether a thread is
inside a native call when the interpreter ends it is a matter of timing.
"""

import subprocess
import sys
import textwrap

import pytest
from support import child_env, run_python

EXIT_CHILD = """
    import pathlib, sys, threading, time
    from orrinth.adapters.raw import RawAgent
    from orrinth.agent import Message
    from orrinth.trace import Trace, TraceEvent

    # Subclasses with Python attribute access: every native call then runs Python code,
    # which is where a thread gives up the GIL and can be ended.
    class Agent(RawAgent):
        def __getattribute__(self, name):
            return super().__getattribute__(name)

    class Recorded(Trace):
        def __getattribute__(self, name):
            return super().__getattribute__(name)
        def __setattr__(self, name, value):
            super().__setattr__(name, value)

    class Dying:
        def __del__(self):  # Python code run from a release inside a native call
            total = 0
            for i in range(2000):
                total += i

    def handler(message, state):
        state["n"] += 1
        return {"content": message["content"], "n": state["n"]}

    def stashing(message):
        message["junk"] = Dying()
        return "ok"

    agent = Agent("a", handler, initial_state={"n": 0})
    stasher = RawAgent("s", stashing)
    msg = Message("user", "hi", 1)
    trace = Recorded()
    for i in range(200):
        trace.add_event(TraceEvent(type="message" if i % 3 else "state_change", turn=i, agent="a"))
    path = pathlib.Path(sys.argv[2]) / "t.jsonl"
    trace.to_jsonl(path)
    event = TraceEvent(type="message", turn=0)
    calls = {
        "receive": lambda: agent.receive(msg),
        "receive, release runs Python": lambda: stasher.receive(msg),
        "RawAgent": lambda: Agent("b", handler),
        "setup": agent.setup,
        "get_state": agent.get_state,
        "name": lambda: agent.name,
        "Trace": Recorded,
        "add_event": lambda: Recorded().add_event(event),
        "events": lambda: trace.events,
        "get_messages": trace.get_messages,
        "get_events_for_agent": lambda: trace.get_events_for_agent("a"),
        "snapshot": lambda: trace.snapshot(100),
        "cost_summary": trace.cost_summary,
        "to_jsonl": lambda: trace.to_jsonl(path),
        "from_jsonl": lambda: Recorded.from_jsonl(path),
    }
    call = calls[sys.argv[1]]

    def loop():
        while True:
            call()

    for _ in range(3):
        threading.Thread(target=loop, daemon=True).start()
    time.sleep(0.02)
    print("main thread done")
"""

ENTRY_POINTS = ["receive", "receive, release runs Python", "RawAgent", "setup", "get_state",
                "name", "Trace", "add_event", "events", "get_messages",
                "get_events_for_agent", "snapshot", "cost_summary", "to_jsonl", "from_jsonl"]


def exit_child_env(directory):
    """The child's environment. Under AddressSanitizer one report is suppressed: the
    sanitizer does not follow glibc's forced unwind, so the unwound frames keep their
    poisoned red zones, and its own stack bookkeeping (__asan_handle_no_return, called
    before the unwind resumes) then trips over them."""
    env = child_env()
    if "libasan" in env.get("LD_PRELOAD", ""):
        suppressions = directory / "asan.supp"
        suppressions.write_text("interceptor_via_fun:__asan_handle_no_return\n")
        env["ASAN_OPTIONS"] = f"{env.get('ASAN_OPTIONS', '')}:suppressions={suppressions}"
    return env


def start_child(entry_point, directory):
    directory.mkdir()
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(EXIT_CHILD), entry_point,
                             str(directory)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=exit_child_env(directory))


@pytest.mark.parametrize("entry_point", ENTRY_POINTS)
def test_exit_while_daemon_threads_are_in_native_calls(entry_point, tmp_path):
    # Ended threads unwind through the native frames (3.11, 3.12) or are left where they
    # stand; either way the process exits as the plain-Python program would. Four runs
    # at once, so that they meet the end at different points.
    children = [start_child(entry_point, tmp_path / str(i)) for i in range(4)]
    outputs = [c.communicate(timeout=120) for c in children]
    outcomes = [(c.returncode, out, err) for c, (out, err) in zip(children, outputs)]
    assert outcomes == [(0, "main thread done\n", "")] * 4


RECURSION_CHILD = """
    from orrinth.trace import Trace

    class Looping(Trace):
        get_messages = Trace.cost_summary

    class Plain:  # the same in Python
        def cost_summary(self):
            return self.get_messages()
        get_messages = cost_summary

    for obj in [Looping(), Plain(), Looping()]:
        try:
            obj.cost_summary()
        except RecursionError as e:
            print(e)
    print(Trace().cost_summary().per_agent)
"""


def test_endless_native_recursion_raises():
    # On overflow of the C stack the process would die, so this runs in a child. The
    # depth is given back on the way out: the same call fails the same way again, and
    # ordinary calls work afterwards.
    proc = run_python(RECURSION_CHILD)
    native = "maximum recursion depth exceeded while calling a Python object"
    plain = "maximum recursion depth exceeded"
    assert (proc.returncode, proc.stdout.splitlines()) == (0, [native, plain, native, "{}"]), \
        proc.stderr


COUNT_CHILD = """
from orrinth.adapters.raw import RawAgent
from orrinth.agent import Message
from orrinth.trace import Trace, TraceEvent

def depth():
    levels = 0
    def handler(message):
        nonlocal levels
        levels += 1
        return agent.receive(Message("u", message["content"], levels))
    agent = RawAgent("a", handler)
    try:
        agent.receive(Message("u", "hi", 1))
    except RecursionError:
        return levels

first = depth()
t = Trace()
for i in range(5000):
    t.add_event(TraceEvent(type="message", turn=i))
    try:
        t.get_events_for_agent(i)  # raises inside the body
    except TypeError:
        pass
    depth() if i % 1000 == 0 else None
print(first > 50, depth() == first)
"""


def test_native_calls_give_back_their_recursion_count():
    # Every native call counts against the C recursion limit and gives the count back on
    # every way out (returned, raised, hit the limit): the depth that endless recursion
    # through native calls reaches stays the same after thousands of them.
    proc = run_python(COUNT_CHILD)
    assert (proc.returncode, proc.stdout.split()) == (0, ["True", "True"]), proc.stderr
