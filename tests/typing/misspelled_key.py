"""A misspelled update key, which the module would ignore: `mypy --strict` must report it."""

from kovra_api import PyGraphDiff

PyGraphDiff().add_node(bytes(16), {"labl": "Hub"})
