"""The examples in the docstrings run and print what they say."""

import doctest
import importlib

import pytest

MODULES = [
    "kvro",
    "kvro.polyfit",
    "kvro.result",
    "kvro.robust",
    "kvro.basis",
    "kvro.cli",
    "kvro.report",
    "kvro.demo",
    "kvro.tables",
]


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples(name):
    result = doctest.testmod(importlib.import_module(name), optionflags=doctest.ELLIPSIS)
    assert result.failed == 0


def test_every_public_name_has_an_example():
    import kvro

    for name in kvro.__all__:
        obj = getattr(kvro, name)
        if callable(obj) and not (isinstance(obj, type) and issubclass(obj, Exception | Warning)):
            assert ">>>" in (obj.__doc__ or ""), name
