"""Error raised for a failed pipeline component."""

from typing import List, Optional


class TesselPipelineError(Exception):
    """A component's failure, carrying its formatted traceback lines."""

    def __init__(self, *args, picked_stb: Optional[List[str]] = None):
        self.picked_stb = list(picked_stb) if picked_stb is not None else []
        if not args and self.picked_stb:
            args = ("\n".join(self.picked_stb),)
        super().__init__(*args)

    def __reduce__(self):
        # Exception pickling replays only self.args; keep picked_stb too.
        return (_rebuild_pipeline_error, (type(self), self.args, self.picked_stb))

    def _render_traceback_(self) -> List[str]:
        # IPython shows these lines instead of a Python traceback.
        return self.picked_stb


def _rebuild_pipeline_error(cls, args, picked_stb):
    err = cls.__new__(cls)
    Exception.__init__(err, *args)
    err.picked_stb = picked_stb
    return err
