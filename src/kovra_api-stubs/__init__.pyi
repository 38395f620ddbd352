# Type stub for the kovra_api extension module, shipped as the stub-only package
# kovra_api-stubs: type checkers find such a package in site-packages, whereas a
# lone .pyi beside an extension module is not looked at.
#
# add_edge and delete_edge name their first parameter `from`, which is a Python
# keyword: `def add_edge(self, from, ...)` would not parse. The stub calls it
# `from_` and makes it positional-only, since ordinary source code can only pass
# it by position anyway (at run time `**{"from": x}` also binds it).

from collections.abc import Buffer, Callable, Iterable, Sequence
from typing import SupportsFloat, SupportsIndex, TypedDict, final

from typing_extensions import ReadOnly

__all__ = ["PyGraphDiff"]

# The version of the installed package, as pyproject.toml sets it.
__version__: str

# Type-checking helper only; it does not exist in the module at run time.
class _NodeUpdate(TypedDict, total=False):
    """A node's attributes, as new_or_updated_nodes() returns them."""

    label: str
    url: str
    size: float
    red: int
    green: int
    blue: int
    show_label: bool

# What add_node accepts, public so that a list of updates can be typed:
# `updates: list[NodeUpdate] = [{"label": "a"}, {"red": 1}]`. A name for type
# checkers only: the module has no such attribute at run time, so import it under
# `if TYPE_CHECKING:` (or with `from __future__ import annotations`).
# Any of the keys below, size as any number (int, float, or an object with
# __float__/__index__), the colours as integers 0 to 255 (or objects with __index__),
# show_label as bool (a NumPy bool is accepted at run time too). At run time other
# keys are ignored, so a misspelled key would be lost silently: the checker reports
# it instead. A key present with None is an error. Read-only items, so that a view's
# _NodeUpdate can be passed back as it is.
class NodeUpdate(TypedDict, total=False):
    label: ReadOnly[str]
    url: ReadOnly[str]
    size: ReadOnly[SupportsFloat | SupportsIndex]
    red: ReadOnly[SupportsIndex]
    green: ReadOnly[SupportsIndex]
    blue: ReadOnly[SupportsIndex]
    show_label: ReadOnly[bool]

_NodeIdText = str  # 36-character lowercase hyphenated UUID text

# Ids go in as 16 bytes. The common slips keep their TypeError's message and gain a
# note (BaseException.add_note, shown below the message) saying what to pass: a
# uuid.UUID or its text as an id (pass uuid.UUID(...).bytes), a bytearray or
# memoryview as an id or a document (pass bytes(...) of it), a file name as a
# document, a weight column of integers, float16 or another byte order (convert it
# to float32), raw bytes as weights (memoryview(...).cast('f')), a column of UUID
# texts, and a column that is not C-contiguous.

# A column of n ids: a list or tuple of 16-byte bytes, or a C-contiguous buffer of
# 16*n bytes (bytes, NumPy S16/V16 of shape (n,), uint8 of shape (n, 16)).
_IdColumn = Sequence[bytes] | Buffer
# A column of n weights: a list or tuple of numbers, or a C-contiguous buffer of
# native float32 or float64 of shape (n,).
_WeightColumn = Sequence[SupportsFloat | SupportsIndex] | Buffer

@final  # not subclassable
class PyGraphDiff:
    """Pending changes to a directed, weighted graph whose nodes are UUIDs."""

    def __init__(self) -> None: ...
    def new_or_updated_nodes(self) -> dict[_NodeIdText, _NodeUpdate]: ...
    def deleted_nodes(self) -> list[_NodeIdText]: ...
    def new_or_updated_edges(self) -> dict[_NodeIdText, dict[_NodeIdText, float]]: ...
    def deleted_edges(self) -> dict[_NodeIdText, list[_NodeIdText]]: ...
    def num_nodes(self) -> int: ...
    # Applies the pending edge rows first; may raise MemoryError (then nothing changes).
    def num_edges(self) -> int: ...
    def add_node(self, id: bytes, update: NodeUpdate) -> None: ...
    def delete_node(self, id: bytes) -> None: ...
    def add_edge(
        self, from_: bytes, /, to: bytes, weight: SupportsFloat | SupportsIndex
    ) -> None: ...
    def delete_edge(self, from_: bytes, /, to: bytes) -> None: ...
    def clear(self) -> None: ...
    # Bulk mutations: the single call for each i in order, all or nothing.
    def add_edges(self, from_: _IdColumn, /, to: _IdColumn, weight: _WeightColumn) -> None: ...
    def delete_edges(self, from_: _IdColumn, /, to: _IdColumn) -> None: ...
    def delete_nodes(self, ids: _IdColumn) -> None: ...
    def add_nodes(self, ids: _IdColumn, updates: Sequence[NodeUpdate]) -> None: ...
    # Packed columns, in the order of the matching view: 16 bytes per id,
    # weights as little-endian float32.
    def edges_columns(self) -> tuple[bytes, bytes, bytes]: ...
    def deleted_edges_columns(self) -> tuple[bytes, bytes]: ...
    def deleted_nodes_ids(self) -> bytes: ...
    def to_bytes(self) -> bytes: ...
    @staticmethod
    def from_bytes(bytes: bytes) -> PyGraphDiff: ...
    # pickle, copy.copy, copy.deepcopy and multiprocessing rebuild a diff as
    # from_bytes of its document, which later releases still read.
    def __reduce__(self) -> tuple[Callable[[bytes], PyGraphDiff], tuple[bytes]]: ...
    # The instance and the native memory its diff holds (sys.getsizeof).
    def __sizeof__(self) -> int: ...

# One stream split across processes (README: "More than one process"). Module
# attributes; `__all__` names the class alone, so import them by name.

# The shard, 0 <= s < shards, of a 16-byte id: a fixed function (docs/format.md),
# the same in every process, on every machine and in every release. `shards` is an
# int (or has __index__) from 1 to 2**64 - 1.
def shard_of(id: bytes, shards: SupportsIndex) -> int: ...

# One document from the documents of the shards of one stream, in any order; each
# must be a document as from_bytes reads it. ValueError when they disagree on the
# nodes or share the groups of a `from` id. An empty iterable gives the empty document.
def merge_documents(documents: Iterable[bytes]) -> bytes: ...
