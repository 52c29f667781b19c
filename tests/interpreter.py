"""What the running interpreter's compiler makes of source text, for expectations that
differ between Python versions."""
import sys

# Names a class statement adds to the class namespace on its own (3.13 and later).
CLASS_STATEMENT_NAMES = ("__firstlineno__", "__static_attributes__")


def compiled_docstring(text):
    """`text` as a docstring in a def, as the running compiler stores it."""
    ns = {}
    exec(f"def f():\n    {text!r}\n", ns)
    return ns["f"].__doc__


def own_names(namespace):
    """The keys of a class namespace without those the class statement adds by itself."""
    return [n for n in namespace if n not in CLASS_STATEMENT_NAMES]


# help() prints this after a class method's signature before 3.13.
CLASSMETHOD_SUFFIX = " from builtins.type" if sys.version_info < (3, 13) else ""
