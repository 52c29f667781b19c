"""Which of orrinth.adapters.raw's direct reads this process uses (internal).

`inline_attrs` is set by orrinth.adapters.raw when it is imported: True when reading a
message's attributes from the values the object keeps inline was checked, on this
interpreter, to give what getattr gives; False when every read takes getattr.
`class_call` is True when a plain Response class is called without the interpreter's
keyword dict (its `__init__` directly). `direct_message_dicts` is True when the message
dict given to a handler is a copy of a table of its three keys with the values put in
place (or the dict of an earlier call that its handler let go of, refilled the same way),
False when they are inserted one by one (the plain route, where the dict layout
is not known or `plain_message_dicts` was set before orrinth.adapters.raw was imported).
Not part of the public API; tests read them.
"""

inline_attrs = False
class_call = False
direct_message_dicts = False

# Read once, when orrinth.adapters.raw is imported: True keeps message dicts on the plain
# route (for the tests that compare the two).
plain_message_dicts = False
