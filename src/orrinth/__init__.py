"""orrinth: record, query and replay simulated runs between conversational agents."""

__version__ = "0.1.0"
