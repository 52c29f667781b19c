// include/orrinth_native/reentrancy.hpp: the reentrancy rules of the native layer. No
// code here; every file that walks, caches or borrows refers to these rules by name
// ("see reentrancy.hpp") instead of restating them.
//
// 1. What may run Python code. Any call that can reach a method defined in Python:
//    attribute reads (PyObject_GetAttr: properties, __getattr__, __getattribute__),
//    comparisons and truth tests (__eq__, __le__, __bool__, __len__), hashing and dict
//    lookups or stores with keys that are not exact str (__hash__, __eq__), arithmetic on
//    anything but exact int and float (__add__, __radd__), iteration (__iter__, __next__),
//    every call (handlers, methods, constructors, pydantic), and the release of a last
//    reference (a __del__ or a weakref callback). Allocating may run the cyclic collector,
//    and with it any finalizer. Such code may mutate, replace or free anything reachable,
//    the trace or agent being worked on included, and may call back into this layer.
//    What runs none: reading exact lists, tuples and dicts by index or with exact str keys
//    (with one caveat: a stored key of another type with the same hash is compared with
//    its own __eq__; the lookup stays correct and its result is taken at once), C
//    arithmetic, and reading the fields of objects we hold.
//
// 2. What such code invalidates:
//    - borrowed pointers into containers (list items, dict entries, a dict found in an
//      instance): the container may drop them. Take a strong reference (Ref::new_ref)
//      before the next call that may run Python code, and keep it for as long as the
//      object is used;
//    - sizes and positions of lists and dicts being walked;
//    - verdicts about a class ("its instances read `name` from their dict", "its method is
//      still ours"): the class may have been changed. Verdicts are keyed on the class's
//      version tag, which the interpreter changes whenever the class or a base changes;
//    - anything found through such a verdict: an instance dict fetched for several reads,
//      the list that direct appends go to (direct_events_list in trace.hpp).
//    Not invalidated: module-state fields (the module owns them, and every function
//    holds the module), and references the running code owns.
//
// 3. How each walk re-checks:
//    - for_each (objects.hpp) walks an exact list by index, re-reading the size before
//      every step and holding the item strongly while the body runs; anything else goes
//      through the iterator protocol. The caller holds the list itself strongly.
//    - InstanceDictReader (fastattr.hpp) re-checks the class and its version tag, and
//      fetches the instance dict again, on every read.
//    - Callers that cache what a verdict found drop it as soon as a generic read or a
//      comparison has run, and look it up again (snapshot.cpp's target list).
//    - walk_exact_dict (raw_agent.cpp) checks the dict's size before every step and the
//      number of entries seen, as the dict's own iterator does, and holds each entry
//      strongly.
//    - ClassAttrCache (class_attr_cache.hpp) compares the class object and the version
//      tags of the class and its metaclass on every use.
//    - DictLookupMemo (dict_memo.hpp; used by InstanceAttrCache and CachedGlobal)
//      compares the dict and its version tag on every use: CPython 3.11 gives every
//      state of every dict a tag of its own, so any change that Python code made in
//      between is seen.
//    - The fast JSONL routes (trace/fast_routes.cpp) re-check their guards on every line
//      and every event.
//    - After a call back into Python, what it may have changed is read again rather than
//      remembered (RawAgent.receive reads the agent's name anew for its refusal message).
#pragma once
