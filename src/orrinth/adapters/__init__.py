"""Adapters that turn ordinary Python objects into agents under test."""
