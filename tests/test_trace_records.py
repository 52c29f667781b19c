"""TraceEvent and CostSummary: the two record models, held against the same models in Python."""
import json
from typing import Literal

import pydantic
import pytest
from pydantic import BaseModel, Field

from orrinth.trace import CostSummary, TraceEvent


class RefTraceEvent(BaseModel):
    type: "Literal['message', 'state_change', 'fault_injected', 'property_check']"
    turn: "int"
    agent: "str | None" = None
    data: "dict" = Field(default_factory=dict)
    timestamp: "float" = 0.0
    input_tokens: "int" = 0
    output_tokens: "int" = 0
    cost_usd: "float" = 0.0


class RefCostSummary(BaseModel):
    total_input_tokens: "int"
    total_output_tokens: "int"
    total_cost_usd: "float"
    per_agent: "dict[str, dict]"


EVENT_FIELDS = ["type", "turn", "agent", "data", "timestamp", "input_tokens", "output_tokens",
                "cost_usd"]


class TestClasses:
    @pytest.mark.parametrize("cls, qualname, doc", [
        (TraceEvent, "TraceEvent", "A single recorded event in a simulation trace."),
        (CostSummary, "CostSummary", "Aggregate token and cost statistics for one trace."),
    ])
    def test_identity(self, cls, qualname, doc):
        assert cls.__bases__ == (BaseModel,)
        assert type(cls) is type(BaseModel)
        assert (cls.__module__, cls.__qualname__, cls.__name__, cls.__doc__) == (
            "orrinth.trace", qualname, qualname, doc)

    @pytest.mark.parametrize("cls, ref", [(TraceEvent, RefTraceEvent),
                                          (CostSummary, RefCostSummary)])
    def test_fields_as_python_declares_them(self, cls, ref):
        assert cls.__annotations__ == ref.__annotations__
        assert list(cls.model_fields) == list(ref.model_fields)
        assert cls.model_json_schema()["properties"] == ref.model_json_schema()["properties"]
        assert cls.model_json_schema().get("required") == ref.model_json_schema().get("required")

    def test_annotation_texts(self):
        assert list(TraceEvent.__annotations__) == EVENT_FIELDS
        assert TraceEvent.__annotations__["agent"] == "str | None"
        assert CostSummary.__annotations__["per_agent"] == "dict[str, dict]"

    def test_no_configuration_of_their_own(self):
        assert TraceEvent.model_config == RefTraceEvent.model_config
        assert not TraceEvent.__pydantic_decorators__.field_validators


class TestTraceEvent:
    def test_defaults(self):
        ev = TraceEvent(type="message", turn=0)
        assert ev.model_dump() == {"type": "message", "turn": 0, "agent": None, "data": {},
                                   "timestamp": 0.0, "input_tokens": 0, "output_tokens": 0,
                                   "cost_usd": 0.0}
        assert type(ev.timestamp) is float and type(ev.cost_usd) is float

    def test_data_default_is_fresh(self):
        a, b = TraceEvent(type="message", turn=0), TraceEvent(type="message", turn=0)
        a.data["k"] = 1
        assert b.data == {} and a.data is not b.data

    @pytest.mark.parametrize("kind", ["message", "state_change", "fault_injected",
                                      "property_check"])
    def test_four_kinds(self, kind):
        assert TraceEvent(type=kind, turn=-1).type == kind

    @pytest.mark.parametrize("kwargs", [
        {"type": "other", "turn": 1},
        {"type": "Message", "turn": 1},
        {"turn": 1},
        {"type": "message"},
        {"type": "message", "turn": "x"},
        {"type": "message", "turn": 1, "agent": 3},
        {"type": "message", "turn": 1, "data": []},
        {"type": "message", "turn": 1, "cost_usd": "free"},
    ])
    def test_validation_errors_as_python_model(self, kwargs):
        with pytest.raises(pydantic.ValidationError) as ours:
            TraceEvent(**kwargs)
        with pytest.raises(pydantic.ValidationError) as theirs:
            RefTraceEvent(**kwargs)
        strip = [{k: e[k] for k in ("type", "loc", "msg", "input")} for e in ours.value.errors()]
        assert strip == [{k: e[k] for k in ("type", "loc", "msg", "input")}
                         for e in theirs.value.errors()]
        assert ours.value.title == "TraceEvent"

    def test_unknown_keys_ignored(self):
        ev = TraceEvent.model_validate({"type": "message", "turn": 1, "extra": 2})
        assert not hasattr(ev, "extra") and ev.model_extra is None

    def test_dump_key_order(self):
        ev = TraceEvent(cost_usd=0.5, agent=None, turn=2, type="message", data={"b": 1, "a": 2})
        text = ev.model_dump_json()
        assert list(json.loads(text)) == EVENT_FIELDS
        assert text == ('{"type":"message","turn":2,"agent":null,"data":{"b":1,"a":2},'
                        '"timestamp":0.0,"input_tokens":0,"output_tokens":0,"cost_usd":0.5}')

    def test_equality_is_the_models(self):
        assert TraceEvent(type="message", turn=1) == TraceEvent(type="message", turn=1)
        assert TraceEvent(type="message", turn=1) != TraceEvent(type="message", turn=2)


class TestCostSummary:
    def test_all_fields_required(self):
        with pytest.raises(pydantic.ValidationError) as err:
            CostSummary()
        assert [(e["type"], e["loc"]) for e in err.value.errors()] == [
            ("missing", ("total_input_tokens",)), ("missing", ("total_output_tokens",)),
            ("missing", ("total_cost_usd",)), ("missing", ("per_agent",))]

    def test_construction(self):
        s = CostSummary(total_input_tokens=2**70, total_output_tokens=0, total_cost_usd=1.5,
                        per_agent={"a": {"turns": 1}})
        assert s.total_input_tokens == 2**70 and s.per_agent == {"a": {"turns": 1}}
        assert list(s.model_dump()) == ["total_input_tokens", "total_output_tokens",
                                        "total_cost_usd", "per_agent"]
