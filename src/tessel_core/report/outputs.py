"""A component's run as notebook outputs (nbformat 4): the one form both the
executed notebook and the HTML report are made from."""

import base64
import os
import re

from tessel_core.common.text import shown_placeholder
from tessel_core.misc import TesselComponentStatus

ANSI = re.compile(r"\x1b\[[0-9;]*m")
BINARY = ("image/png", "image/jpeg", "image/gif", "application/pdf")


def plain(text):
    """Text without ANSI colour codes."""
    return ANSI.sub("", text or "")


def write_text(path, text):
    """Write `text` to `path` in UTF-8 through a file renamed into place: a
    failure leaves what was there, and text that cannot be encoded (a file
    name of undecodable bytes) is written with replacement characters."""
    partial = f"{path}.partial"
    try:
        with open(partial, "w", encoding="utf-8", errors="replace") as f:
            f.write(text)
        os.replace(partial, path)
    except BaseException:
        try:
            os.remove(partial)
        except OSError:
            pass
        raise


def json_data(data):
    """A mime bundle as notebook JSON: binary images base64-encoded."""
    out = {}
    for mime, value in (data or {}).items():
        if isinstance(value, (bytes, bytearray)):
            value = base64.b64encode(value).decode("ascii") if mime in BINARY else \
                bytes(value).decode("utf-8", "replace")
        out[mime] = value
    return out


def visible(records):
    """The records after the last clear-output request, as a replay shows them."""
    records = list(records or [])
    for i in range(len(records) - 1, -1, -1):
        if getattr(records[i], "type", None) == "clear_output":
            return records[i + 1:]
    return records


STREAM_MIMES = {"application/vnd.jupyter.stdout": "stdout",
                "application/vnd.jupyter.stderr": "stderr"}


def stream_text(record):
    """The printed text of a stream record, or of display data that only
    carries printed text (as text forwarded from a worker arrives); None for
    anything else. A notebook keeps printed text as stream outputs."""
    if record.type == "stream":
        return record.text or ""
    data = record.data if record.type == "display_data" else None
    if data and set(data) <= STREAM_MIMES.keys() and len(data) == 1:
        value = next(iter(data.values()))
        return value if isinstance(value, str) else None
    return None


def stream_name(record):
    if record.type == "display_data":
        return STREAM_MIMES[next(iter(record.data))]
    return "stderr" if "stderr" in (record.name or "") else "stdout"


def ran(origin):
    """Whether a component with this origin has results to show: it ran
    (`run`, or `run: why`), came from the cache, or was kept."""
    return origin is None or origin.partition(":")[0] in ("run", "cache", "kept")


def is_notice(record):
    """A notice of the run itself (outputs left out), not of the cell's code:
    the runlet records those as "<stderr>"; the terminal says them, a cell's
    outputs do not, as in Jupyter."""
    return record.type == "stream" and record.name == "<stderr>"


def record_outputs(records):
    """Stream and display outputs; consecutive writes to one stream are merged
    (their pieces joined once, so a long output costs its length)."""
    outputs, pieces = [], None
    for record in visible(records):
        if is_notice(record):
            continue
        text = stream_text(record)
        if text is not None:
            name = stream_name(record)
            if pieces is None or outputs[-1]["name"] != name:
                pieces = []
                outputs.append({"output_type": "stream", "name": name, "text": pieces})
            pieces.append(text)
        elif record.type == "display_data":
            pieces = None
            metadata = {k: v for k, v in (record.metadata or {}).items() if k != "component_id"}
            outputs.append({"output_type": "display_data", "data": json_data(record.data),
                            "metadata": metadata})
    for out in outputs:
        if out["output_type"] == "stream":
            out["text"] = "".join(out["text"])
    return outputs


def formatted(value, shell):
    """The value's mime bundle as a kernel shows it (IPython's formatter)."""
    if shell is None:
        from IPython.core.interactiveshell import InteractiveShell

        shell = InteractiveShell.instance()
    try:
        data, metadata = shell.display_formatter.format(value)
    except Exception:
        data, metadata = {}, {}
    if "text/plain" not in data:
        try:
            data["text/plain"] = repr(value)
        except Exception as err:
            data["text/plain"] = shown_placeholder(value, err)
    return json_data(data), dict(metadata or {})


def error_output(comp):
    lines = list(comp.exception_msg or [])
    name = plain(lines[1]).split()[0] if len(lines) > 1 and plain(lines[1]).split() else "Error"
    value = plain(lines[-1]).split(": ", 1)[-1] if lines else ""
    return {"output_type": "error", "ename": name, "evalue": value, "traceback": lines}


def shown_value(comp):
    """The record of the value as its run formatted it (its mime bundle and
    metadata), or None when the run did not format it (no shell)."""
    for record in reversed(comp.captured or []):
        if getattr(record, "type", None) == "execute_result":
            return record
    return None


def value_bundle(comp, shell=None):
    """(data, metadata) of the component's value as its cell showed it: as
    formatted when it ran, else formatted now; None for no value (or one
    that displayed itself, leaving nothing to show as a value)."""
    record = shown_value(comp)
    if record is not None:
        data = json_data(record.data)
        return (data, dict(record.metadata or {})) if data else None
    try:
        value = comp.last_output
    except Exception:
        value = None
    return None if value is None else formatted(value, shell)


def component_outputs(comp, shell=None, execution_count=None):
    """Everything a notebook cell would show for the component's last run."""
    if comp.status == TesselComponentStatus.FAILED:
        # a failed run keeps only the record of its failure
        return [error_output(comp)]
    outputs = record_outputs(comp.captured)
    bundle = value_bundle(comp, shell)
    if bundle is not None:
        outputs.append({"output_type": "execute_result", "execution_count": execution_count,
                        "data": bundle[0], "metadata": bundle[1]})
    return outputs
