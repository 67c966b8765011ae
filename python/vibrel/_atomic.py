"""How a fitted model changes its engine and its own state together: both
change, or neither does, whatever bytecode a KeyboardInterrupt lands on.

The rule it builds on is the compiled engine's: a mutating call (`build`,
`update`, `promote`) raises only before it installs anything, and once its
install has begun it finishes and returns normally; a Ctrl-C that came during
the install stays pending.  So the engine installed exactly when the call
returned.

Python delivers a pending KeyboardInterrupt at the next bytecode that checks for
signals, and in CPython 3.11 the CALL instruction that made the engine call is
one of them: the exception can surface after the engine installed and before the
caller's next statement could note it.  Neither "call, then bookkeeping" nor
"bookkeeping, then call inside try/except" survives that.  `call_then_commit`
therefore notes the return from C (`list.extend` over `map` runs no bytecode
between the engine's return and the append), and in a `finally` applies the
model's own changes, all in one `dict.update`, exactly when the engine returned.

An engine written in Python cannot keep that rule: a signal can surface right
after its last step.  Such an engine (the NumPy reference) counts its installs
in an `installs` attribute, and the count decides instead.
"""

from __future__ import annotations

from typing import Any

from vibrel import _backend


def call_then_commit(index: Any, method: str, argument: Any, state: dict, changes: dict, threads: int = 0) -> None:
    """Runs the engine mutation `index.method(argument)` on `threads` threads
    (0: all) and, exactly when it was installed, applies `changes` to `state`
    (a model's `__dict__`) in one step.  Any exception, a KeyboardInterrupt
    delivered after the install included, propagates after that."""
    installs = getattr(index, "installs", None)
    returned: list = []
    call = _backend.counted(threads, getattr(index, method))  # a C callable: no bytecode after the return
    try:
        returned.extend(map(call, (argument,)))
    finally:
        if returned or (installs is not None and index.installs != installs):
            state.update(changes)
