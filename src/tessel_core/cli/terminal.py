"""What a run of a pipeline file shows on the terminal: each component's
output (replayed, or live from workers, each line marked with its
component), its value as it was formatted, and the table that ends a run."""

import sys

from tessel_core.common.text import shown_placeholder
from tessel_core.misc import TesselComponentStatus
from tessel_core.pipeline.inputs import describe
from tessel_core.pipeline.runner import LinePrinter
from tessel_core.report.outputs import shown_value, visible


def shown(value):
    """repr(value) that never raises: showing a value never fails a run."""
    try:
        return repr(value)
    except Exception as err:
        return shown_placeholder(value, err)


def printed_length(comp):
    """How many characters the component's run printed (its stream records)."""
    return sum(len(r.text or "") for r in comp.captured or []
               if getattr(r, "type", None) == "stream" and "<" not in (r.name or "<"))


class Terminal:
    """Shows components of a run in the shell that formats their values."""

    def __init__(self, shell):
        self.shell = shell  # a function giving the shell, called when a value is shown

    def show_cached(self, comp, prefixed):
        if prefixed:
            self.print_records(comp)
        else:
            comp.show_captured()
        self.show_value(comp, prefixed)

    def show_run(self, comp, engine, prefixed):
        """After a run: the output not shown live, the value, a failure."""
        if prefixed:
            printer = getattr(engine, "printer", None)
            if printer is not None:  # what it printed arrives live: its last line too
                printer.settle(comp.id, printed_length(comp))
            else:
                self.print_records(comp)
        elif comp.status == TesselComponentStatus.FAILED:
            comp.show_captured()
            # the failure's line has no end of its own: the next header starts anew
            last = (comp.captured or [None])[-1]
            text = getattr(last, "text", None)
            if text and not text.endswith("\n"):
                err = "stderr" in (getattr(last, "name", None) or "")
                print(file=sys.stderr if err else sys.stdout, flush=True)
        if comp.status == TesselComponentStatus.SUCCESSFUL:
            self.show_value(comp, prefixed)

    def print_records(self, comp):
        """What the component printed and showed, as its live output would
        have been shown, each line marked with it."""
        printer = LinePrinter()
        tag = {"component_id": comp.id}
        for record in visible(comp.captured):
            if record.type == "stream" and record.text:
                printer.write(comp.id, record.name or "stdout", record.text)
            elif record.type == "display_data" and record.data:
                printer.publish(record.data, tag)
        printer.flush(comp.id)

    def show_value(self, comp, prefixed=False):
        mark = f"[{comp.id}] " if prefixed else ""
        record = shown_value(comp)
        if record is not None:  # as its run formatted it
            text = (record.data or {}).get("text/plain")
            if not isinstance(text, str):
                return  # it displayed itself: nothing to show as a value
        else:
            try:
                value = comp.last_output
            except Exception as err:
                print(f"{mark}=> <the value could not be read back: {type(err).__name__}: "
                      f"{describe(err)}>", flush=True)
                return
            if value is None:
                return
            text = self.formatted(value)
        if text is not None:
            if prefixed:
                text = text.replace("\n", f"\n{mark}")
            # a multi-line value starts on a line of its own, as IPython shows it
            print(f"{mark}=>{chr(10) + mark if chr(10) in text else ' '}{text}", flush=True)

    def formatted(self, value):
        """The text a notebook shows for the value (IPython's plain-text
        formatter, called unwrapped: its wrapper would print a traceback for a
        value that cannot be shown, where a placeholder is wanted)."""
        formatter = self.shell().display_formatter.formatters["text/plain"]
        call = getattr(type(formatter).__call__, "__wrapped__", None)
        try:
            text = call(formatter, value) if call else None
        except Exception:
            text = None
        return text if isinstance(text, str) else shown(value)



def print_table(rows):
    """The run's table: a header, a rule, a row per component."""
    widths = [max(len(str(r[i])) for r in rows) for i in range(len(rows[0]))]
    for n, row in enumerate(rows):
        print("  ".join(str(c).ljust(w) for c, w in zip(row, widths)).rstrip())
        if n == 0:
            print("  ".join("-" * w for w in widths))
