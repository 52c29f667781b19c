"""The adapter module in interpreters that have a GIL of their own (3.12 and later)."""
import importlib.util
import sys

import pytest

from support import run_python

HAS_ISOLATED_INTERPRETERS = sys.version_info >= (3, 12) and any(
    importlib.util.find_spec(name) for name in ("_interpreters", "_xxsubinterpreters"))

pytestmark = pytest.mark.skipif(not HAS_ISOLATED_INTERPRETERS,
                                reason="this interpreter cannot create isolated interpreters")

# Runs in a child process: a crash there fails the test instead of the whole run.
DRIVER = '''
    import sys, threading
    try:
        import _interpreters as interpreters        # 3.13
    except ImportError:
        import _xxsubinterpreters as interpreters    # 3.12

    def create():
        if hasattr(interpreters, "new_config"):
            config = interpreters.new_config("isolated")
            assert config.gil == "own" and config.check_multi_interp_extensions
            return interpreters.create(config)
        return interpreters.create(isolated=True)

    def run(interp, script):
        """None, or the text of the exception the script raised."""
        if hasattr(interpreters, "exec"):
            failure = interpreters.exec(interp, script)
            return None if failure is None else failure.formatted
        try:
            interpreters.run_string(interp, script)
        except interpreters.RunFailedError as e:
            return str(e)

    SCRIPT = """
    import orrinth.adapters.raw as raw
    from orrinth.agent import Message, Response
    def handler(message, state):
        state["seen"] += 1
        return {"content": message["content"] * 2, "seen": state["seen"], "turn": message["turn"]}
    agent = raw.RawAgent("agent", handler, initial_state={"seen": 0})
    for run in range(3):
        agent.setup()
        for turn in range(500):
            reply = agent.receive(Message("user", f"m{turn}", turn))
            assert reply == Response(content=f"m{turn}m{turn}",
                                     metadata={"seen": turn + 1, "turn": turn}), reply
        assert agent.get_state() == {"seen": 500}
    try:
        raw.RawAgent("a", lambda m: None).receive(Message("u", "x", 1))
    except TypeError as e:
        assert "returned NoneType" in str(e)
    else:
        raise AssertionError("no TypeError")
    """

    interps = [create() for _ in range(int(sys.argv[1]))]
    failures = []
    def work(interp):
        failures.append(run(interp, SCRIPT))
    threads = [threading.Thread(target=work, args=(i,)) for i in interps]
    for t in threads: t.start()
    for t in threads: t.join()
    print("adapter:", failures)
    print("trace:", run(interps[0], "import orrinth.trace"))
    for i in interps: interpreters.destroy(i)
'''


def test_adapter_runs_in_isolated_interpreters_on_threads():
    r = run_python(DRIVER, 4)
    assert r.returncode == 0, r.stderr
    adapter, trace = r.stdout.splitlines()
    assert adapter == "adapter: " + repr([None] * 4)
    # The trace module declares no per-interpreter GIL support (pydantic-core, under its
    # records, has none), so such an interpreter refuses it cleanly.
    assert trace.startswith("trace: ") and "ImportError" in trace
    assert "does not support loading in subinterpreters" in trace
