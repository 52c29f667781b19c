"""Which of orrinth.adapters.raw's direct reads this process uses (internal).

`inline_attrs` is set by orrinth.adapters.raw when it is imported: True when reading a
message's attributes from the values the object keeps inline was checked, on this
interpreter, to give what getattr gives; False when every read takes getattr.
`class_call` is True when a plain Response class is called without the interpreter's
keyword dict (its `__init__` directly). Not part of the public API; tests read them.
"""

inline_attrs = False
class_call = False
