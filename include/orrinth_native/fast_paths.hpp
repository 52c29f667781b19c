// include/orrinth_native/fast_paths.hpp: every fast path of the native modules in one table:
// what it does, the guard checked on every use, the check made once at import (or at build
// time), the flag that says whether it is on, the switch a test uses to compare it with the
// plain route, and what a new interpreter version (3.14) needs before it is turned on there.
// docs/python-versions.md shows the same table; tests/test_build.py keeps the two equal.
// Every fast path fails closed: where its guard or check does not hold, the plain route runs.
#pragma once

namespace orrinth {

struct FastPath {
    const char *name;
    const char *where;
    const char *guard;
    const char *probe;
    const char *route_flag;
    const char *test_switch;
    const char *for_3_14;
};

[[maybe_unused]] inline constexpr FastPath kFastPaths[] = {
    {"instance-dict reads of events and traces", "`fastattr.hpp`, `mro.hpp`",
     "type exactly the class; its `tp_version_tag` as when the verdict was made (generic "
     "`__getattribute__`, no data descriptor under the name on the MRO)",
     "none", "the verdict per version tag (`InstanceDictReader`)",
     "none: a subclass or a changed class takes `getattr`",
     "`orrinth_managed_dict` in a `layout_3_14.h`"},
    {"a field read at its remembered entry", "`dict_hint.hpp`",
     "the entry's key is the name itself and its value is set; a str-keyed combined table "
     "(3.13: also split, bounded by the values' capacity)",
     "build: `layout_3_NN.c` checks `dict_mirror.h` against `pycore_dict.h`",
     "`ORRINTH_DICT_LAYOUT_KNOWN`", "none: a wrong entry costs a lookup",
     "`dict_mirror.h` checked against 3.14's `pycore_dict.h`"},
    {"one dict lookup remembered by the dict's version", "`dict_memo.hpp`",
     "the same dict with the same version bits, not 0 (3.13: combined tables only)",
     "build: `ma_version_tag`'s offset and `DICT_VERSION_INCREMENT`; "
     "`tests/test_dict_reads.py` on the running version",
     "`ORRINTH_DICT_VERSION_KNOWN`", "none", "stays off: 3.14 removes `ma_version_tag`"},
    {"a trace's or agent's own attributes read from its inline values (3.12)",
     "`fastattr.hpp` (`InstanceAttrCache`)", "as the instance-dict reads, and no dict made yet",
     "`InlineAttrReader::self_check` compares with `getattr`", "`inline_reads_enabled()`",
     "none", "`ORRINTH_INSTANCE_READ` for 3.14"},
    {"C recursion count of every native call", "`function.hpp` (`call_body`)",
     "the thread state's count above zero", "build: the counters' types",
     "`ORRINTH_DIRECT_RECURSION_COUNT`", "none: the deep-recursion tests reach the limit",
     "the counter's field in a `layout_3_14.h`"},
    {"`model_validate` kept between JSON Lines lines", "`class_attr_cache.hpp`",
     "version tags of the class and its metaclass", "none", "the cached tags", "none",
     "nothing (public API)"},
    {"prefetching in the event walks", "`prefetch.hpp`",
     "type exactly the class, with a managed dict",
     "`tests/test_build.py::test_prefetcher_layout_is_this_interpreters`",
     "`ORRINTH_OBJECT_LAYOUT_KNOWN`", "none: prefetching changes no result",
     "`orrinth_managed_dict` in a `layout_3_14.h`"},
    {"a message's attributes in `receive` read from its inline values", "`inline_attrs.hpp`",
     "generic `tp_getattro`, no class attribute of the name on the MRO, the name among the "
     "class's cached keys, the version tag",
     "`InlineAttrReader::self_check` compares with `getattr`",
     "`orrinth.adapters._raw_routes.inline_attrs`", "none",
     "`orrinth_inline_values` and `orrinth_shared_key_index` for 3.14"},
    {"`Response(...)` built without the keyword dict", "`class_call.hpp`",
     "metaclass exactly `type`, `tp_new` object's, `tp_init` the slot a class statement "
     "gives, `__init__` a Python function, per `tp_version_tag`",
     "`ClassCall::learn_init_slot` on a class made at import",
     "`orrinth.adapters._raw_routes.class_call`", "none", "nothing (public API)"},
    {"the message dict of `receive` copied from a table of its three keys, or the last "
     "call's kept",
     "`fixed_keys_dict.hpp`",
     "the copy is the template's image (`orrinth_fill_fresh_copy`); a dict is kept when "
     "receive holds the only reference and it is still that image in keys and table, "
     "without watcher bits (`orrinth_take_values_for_refill`)",
     "none: checked on every copy", "`orrinth.adapters._raw_routes.direct_message_dicts`",
     "`orrinth.adapters._raw_routes.plain_message_dicts` set before import",
     "`dict_mirror.h` checked against 3.14's `pycore_dict.h`; `orrinth_next_dict_version`"},
    {"`list.append` stored in place; exact `int`/`float` sums", "`objects.hpp`, `cost.cpp`",
     "an exact list with room that stays at least half full; exact types", "none", "none",
     "none", "nothing (public API)"},
    {"a JSON Lines line of the common shape made into an event directly", "`fast_routes.cpp`",
     "the line's shape and value types, `TraceEvent` and `json.loads` as at import, "
     "recursion room",
     "`orrinth._jsonl_routes` probe lines built both ways",
     "`orrinth._jsonl_routes.builds_events`", "`orrinth._jsonl_routes.force_plain`",
     "a pydantic release checked there; `orrinth_json_recursion_room`"},
    {"an event written in the serializer's format natively", "`json_writer.cpp`",
     "exactly the fields in order, each of its validated type",
     "`orrinth._jsonl_routes` probe events written both ways",
     "`orrinth._jsonl_routes.writes_events`", "`orrinth._jsonl_routes.force_plain`",
     "a pydantic release checked there"},
    {"a trace file's lines read and parsed natively",
     "`line_reader.cpp`, `event_parser.cpp`",
     "a `pathlib.Path` with pathlib's `open`, an exact text file over a buffered "
     "reader over a `FileIO` of a regular file, strict `utf-8`, exactly `Trace`; per "
     "line the calls of the line as at import (`LineCallsMemo`) and the exact shape; "
     "any failure reads the whole file again through the text file",
     "`orrinth._jsonl_routes` probe lines parsed both ways",
     "`orrinth._jsonl_routes.reads_natively`",
     "`orrinth._jsonl_routes.native_reads`",
     "nothing (public API) but the line check's dict versions"},
    {"the line check of the native reader kept between lines",
     "`fast_routes.cpp` (`LineCallsMemo`)",
     "the classes' tags, the decoder's class and dict, and the versions of the "
     "globals, json's and the decoder's dicts as at the last full check; 3.13's split "
     "decoder dict: the same keys object, key count and scanner at its entry",
     "none",
     "`ORRINTH_DICT_VERSION_KNOWN`",
     "none: a change mid-read is tested (`tests/test_native_reader.py`)",
     "stays off: 3.14 removes `ma_version_tag`"},
    {"an event's pydantic attributes stored into the class's slots",
     "`fast_routes.cpp` (`find_event_slots`)",
     "`TraceEvent`'s tags as when the slots were found (the callers check them); a "
     "new event's slots empty",
     "a member descriptor of a writable object slot inside the basic size, of a base "
     "of the class",
     "`orrinth._jsonl_routes.direct_event_slots`",
     "`orrinth._jsonl_routes.setattr_event_slots` set before import",
     "nothing (public API)"},
    {"a new event made by `tp_alloc` and given its field dict in the managed dict word",
     "`fast_routes.cpp` (`find_event_slots`), `orrinth_set_fresh_dict`",
     "`TraceEvent`'s tags as when it was checked (the callers check them)",
     "`object.__new__` and `PyType_GenericAlloc` as the class's, not abstract, a managed "
     "dict (3.13: no values inline), `__dict__` set by a plain class's setter",
     "`orrinth._jsonl_routes.direct_event_slots`",
     "`orrinth._jsonl_routes.setattr_event_slots` set before import",
     "`orrinth_set_fresh_dict` in a `layout_3_14.h`"},
    {"an event's fields set copied whole from the frozenset of all eight names",
     "`fast_routes.cpp` (`event_from_fields`), `orrinth_set_copy`",
     "the template an exact set or frozenset whose grown table has no dummies, of the size `set(template)` grows to; checked on every copy",
     "none",
     "none",
     "none",
     "`PySetObject` as in 3.14's `cpython/setobject.h`"},
    {"an event's field dict copied from a table of its eight names",
     "`fixed_keys_dict.hpp`",
     "the copy is the template's image (`orrinth_fill_fresh_copy`)",
     "none: checked on every copy",
     "none",
     "none",
     "`dict_mirror.h` checked against 3.14's `pycore_dict.h`"},
};

}  // namespace orrinth
