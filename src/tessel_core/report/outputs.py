"""A component's run as notebook outputs (nbformat 4): the one form both the
executed notebook and the HTML report are made from."""

import base64
import os
import re

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


def stream_name(record):
    return "stderr" if "stderr" in (record.name or "") else "stdout"


def record_outputs(records):
    """Stream and display outputs; consecutive writes to one stream are merged
    (their pieces joined once, so a long output costs its length)."""
    outputs, pieces = [], None
    for record in visible(records):
        if record.type == "stream":
            name = stream_name(record)
            if pieces is None or outputs[-1]["name"] != name:
                pieces = []
                outputs.append({"output_type": "stream", "name": name, "text": pieces})
            pieces.append(record.text or "")
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
            data["text/plain"] = f"<{type(value).__name__} object: repr() failed: " \
                                 f"{type(err).__name__}>"
    return json_data(data), dict(metadata or {})


def error_output(comp):
    lines = list(comp.exception_msg or [])
    name = plain(lines[1]).split()[0] if len(lines) > 1 and plain(lines[1]).split() else "Error"
    value = plain(lines[-1]).split(": ", 1)[-1] if lines else ""
    return {"output_type": "error", "ename": name, "evalue": value, "traceback": lines}


def component_outputs(comp, shell=None, execution_count=None):
    """Everything a notebook cell would show for the component's last run."""
    if comp.status == TesselComponentStatus.FAILED:
        # a failed run keeps only the record of its failure
        return [error_output(comp)]
    outputs = record_outputs(comp.captured)
    try:
        value = comp.last_output
    except Exception:
        value = None
    if value is not None:
        data, metadata = formatted(value, shell)
        outputs.append({"output_type": "execute_result", "execution_count": execution_count,
                        "data": data, "metadata": metadata})
    return outputs
