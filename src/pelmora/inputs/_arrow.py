"""polars and pyarrow tables, read through Arrow.

Neither library is imported to recognise its objects: a table is known by the module of its type,
so that ``import pelmora`` and a run on pandas frames never load them. A polars table is turned
into a pyarrow one, and a pyarrow table into pandas frames with the dtypes a pandas user would
have built.
"""

from __future__ import annotations

from typing import Any

__all__ = ["arrow_table", "is_temporal", "is_text", "table_kind", "table_to_pandas"]


def table_kind(obj: Any) -> str | None:
    """"polars" or "pyarrow" for their tables, else None; judged by the type's module so that
    neither library is imported to ask."""
    kind = type(obj)
    top = (getattr(kind, "__module__", "") or "").split(".")[0]
    if top == "polars" and kind.__name__ in ("DataFrame", "LazyFrame"):
        return "polars"
    if top == "pyarrow" and kind.__name__ in ("Table", "RecordBatch"):
        return "pyarrow"
    return None


def arrow_table(obj: Any, kind: str, what: str) -> Any:
    """The pyarrow Table of a polars or pyarrow object."""
    try:
        import pyarrow as pa
    except ImportError as exc:
        raise ImportError(
            f"{what} is a {kind} table: converting it needs pyarrow: pip install 'pelmora[polars]'"
        ) from exc
    if kind == "polars":
        if type(obj).__name__ == "LazyFrame":
            obj = obj.collect()
        return obj.to_arrow()
    if isinstance(obj, pa.RecordBatch):
        return pa.Table.from_batches([obj])
    return obj


def table_to_pandas(table: Any) -> Any:
    """A pyarrow Table as pandas: numbers stay float64 (nulls become NaN), dates become
    datetime64 with their time zone, and a null in a boolean column is False (not held), as a
    boolean weight frame in pandas cannot hold anything else."""
    import pyarrow as pa
    import pyarrow.compute as pc

    for i, field in enumerate(table.schema):
        if pa.types.is_boolean(field.type) and table.column(i).null_count:
            table = table.set_column(i, field, pc.fill_null(table.column(i), False))
    # pandas' own metadata (from pa.Table.from_pandas) would move columns into the index: a table
    # is read by its columns alone.
    return table.to_pandas(date_as_object=False, ignore_metadata=True)


def is_temporal(arrow_type: Any) -> bool:
    import pyarrow as pa

    return bool(pa.types.is_timestamp(arrow_type) or pa.types.is_date(arrow_type))


def is_text(arrow_type: Any) -> bool:
    import pyarrow as pa

    if pa.types.is_dictionary(arrow_type):
        arrow_type = arrow_type.value_type
    return bool(pa.types.is_string(arrow_type) or pa.types.is_large_string(arrow_type)
                or getattr(pa.types, "is_string_view", lambda t: False)(arrow_type))
