"""The runtime's owning reference handle and its builders of tuples and lists: every reference an item
holds is handed to the sequence or given back, also when an item fails. And the check of the
docstring tables, which stand apart from the rows they describe."""

import sys

import pytest

KINDS = ["tuple", "list", "over", "pair", "outputs"]


def items_of(kind):
    return tuple(object() for _ in range(2 if kind == "pair" else 4))


def counts(items):
    return [sys.getrefcount(o) for o in items]


@pytest.mark.parametrize("kind", KINDS)
def test_a_sequence_holds_its_items_in_order_until_it_goes(hooks, kind):
    items = items_of(kind)
    before = counts(items)
    made = hooks.build_sequence(kind, items, -1)
    assert type(made) is (list if kind in ("list", "outputs") else tuple)
    assert all(a is b for a, b in zip(made, items, strict=True))
    assert counts(items) == [c + 1 for c in before]
    del made
    assert counts(items) == before


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("place", ["first", "middle", "last"])
def test_an_item_that_fails_fails_the_sequence_and_keeps_no_other(hooks, kind, place):
    items = items_of(kind)
    fail_at = {"first": 0, "middle": 1, "last": len(items) - 1}[place]
    before = counts(items)
    with pytest.raises(ValueError, match=f"^item {fail_at} failed$"):
        hooks.build_sequence(kind, items, fail_at)
    assert counts(items) == before


def test_every_docstring_text_names_a_flat_function_of_the_module(m, hooks):
    flat = [name for name in dir(m) if callable(getattr(m, name)) and not name.startswith("Swig")]
    assert hooks.doc_problems(flat) == ()
    assert hooks.doc_problems([name for name in flat if name != "TqDevice_Free"]) == (
        "docstrings: no row TqDevice_Free",
    )
    assert m.TqDevice_Free.__doc__.startswith("Frees an object allocated with CreateAndConnect.")
