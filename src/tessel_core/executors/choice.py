"""Which executor runs a component, and how a caller chooses it.

A component runs on Celery workers when its metadata carries a remote
configuration, or when the code that starts the run chose remote runs for
the moment (`remote_runs`): an engine of the command line hands its choice
this way instead of rewriting every component's metadata. The runlet asks
`remote_config_for` once per run, for `execute` and `execute_async` alike.
"""

import contextlib
import contextvars
from typing import Iterator, Optional

from tessel_core.misc.models import TesselComponentRemoteConfigModel

# The choice of the code starting runs in this thread (or task); None: the
# component's own metadata decides. Context-local, so that concurrent callers
# cannot see each other's choice.
_chosen: "contextvars.ContextVar[Optional[TesselComponentRemoteConfigModel]]" = \
    contextvars.ContextVar("tessel_remote_runs", default=None)


@contextlib.contextmanager
def remote_runs(config: TesselComponentRemoteConfigModel) -> Iterator[None]:
    """Runs started inside go to the Celery workers of `config`."""
    token = _chosen.set(config)
    try:
        yield
    finally:
        _chosen.reset(token)


def remote_config_for(component) -> Optional[TesselComponentRemoteConfigModel]:
    """The remote configuration a run of `component` uses; None: it runs here."""
    return _chosen.get() or component.remote_config or None
