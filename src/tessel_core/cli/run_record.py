"""A run served wholly from the cache, kept as a record, and a later run of
the same command answered from it.

A run that took every component from its cache directory prints what the
entries hold and exits 0; it costs the start-up of the whole package
(networkx, nbformat, pydantic, IPython) for a few hundredths of a second of
work. So such a run leaves a record in DIRECTORY/.runs/: what it printed, in
order, and what it rested on. The same command (arguments, working directory,
environment, interpreter, installed packages, this package's files) finds it
before anything heavy is imported and prints it again, when everything it
rested on still holds:

- the pipeline file or notebook is unchanged;
- each component's folder holds the same entries, and the one it used is the
  only one of its key (so a full run could choose no other), with the same
  manifest and files (a rewritten or damaged entry differs);
- the files and modules each entry depended on are unchanged (the same check
  a full run makes, `cache.manifest.stale_because`);
- the directory is writable (a full run refuses one that is not).

Anything else, or any doubt, and the command runs in full, as it would
without a record. Only a run on the command line's own shell (no --jobs,
--pool or --remote) that writes no notebook or report is recorded, and only
when everything it printed went through sys.stdout and sys.stderr.

Thread contract: the recorder is installed and read by the main thread; its
streams may be written from any thread under the GIL.
"""

import json
import os
import sys
import tempfile

import xxhash

from tessel_core.cache.manifest import (
    MANIFEST,
    Stamps,
    check_writable,
    entry_files,
    file_hash,
    stale_because,
    touch_manifest,
)
from tessel_core.cache.upkeep import RUNS

FORMAT = 1
KEEP = 32  # records kept per cache directory, the newest
MAX_PRINTED = 8 << 20  # characters: a run that printed more is not recorded
PACKAGE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

ACTIVE = None  # the recorder of this process's run, when it may be recorded


def cache_dir_of(argv):
    """The cache directory a `run` command names, where its record would
    be; None when it names none in a form looked for here (it then runs in
    full: the record's key is the whole command, so a wrong guess only misses)."""
    if not argv or argv[0] != "run":
        return None
    for i, arg in enumerate(argv):
        if arg == "--cache-dir" and i + 1 < len(argv):
            return os.path.abspath(os.path.expanduser(argv[i + 1]))
        if arg.startswith("--cache-dir="):
            return os.path.abspath(os.path.expanduser(arg.split("=", 1)[1]))
    return None


def installed_stamp():
    """What a change of this package or of any installed one changes: this
    package's files, and the folders packages are installed in."""
    files = []
    for root, dirs, names in os.walk(PACKAGE):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        for name in sorted(names):
            try:
                st = os.stat(os.path.join(root, name))
            except OSError:
                continue
            files.append([os.path.relpath(os.path.join(root, name), PACKAGE), st.st_size,
                          st.st_mtime_ns])
    folders = []
    for folder in sys.path:
        try:
            folders.append([folder, os.stat(folder or ".").st_mtime_ns])
        except OSError:
            folders.append([folder, None])
    return [files, folders]


def record_path(directory, argv):
    """Where the record of this exact command would be."""
    tty = [s.isatty() if hasattr(s, "isatty") else None for s in (sys.stdout, sys.stderr)]
    # `_` is the shell's name of the program it ran: how it was started, not what
    environment = sorted((k, v) for k, v in os.environ.items() if k != "_")
    key = [FORMAT, list(argv), os.getcwd(), environment, sys.executable,
           sys.version, tty, installed_stamp()]
    name = xxhash.xxh3_128_hexdigest(json.dumps(key).encode("utf-8", "surrogatepass"))
    return os.path.join(directory, RUNS, name + ".json")


# ---- answering a run from its record ---------------------------------------------


def record_of(argv):
    """(cache directory, path of this command's record); None for a command
    that could have none."""
    directory = cache_dir_of(argv)
    if directory is None:
        return None
    try:
        return directory, record_path(directory, argv)
    except (OSError, ValueError):
        return None


def serve(where):
    """Print the record at `where` (from `record_of`) and return its exit
    status, when everything it rested on holds; None (nothing printed)
    otherwise."""
    directory, path = where
    try:
        with open(path, encoding="utf-8") as f:
            record = json.load(f)
        if not holds(record, directory):
            return None
    except Exception:  # an unreadable record, or one of another shape: a full run
        return None
    for entry in record["entries"]:
        touch_manifest(entry["path"])  # used now: what pruning keeps longest
    try:
        replay(record["printed"])
    except KeyboardInterrupt:
        print("\ninterrupted", file=sys.stderr)
        return 130
    return 0


def holds(record, directory):
    if record.get("format") != FORMAT or not all(
            isinstance(p, list) and len(p) == 2 and p[0] in (1, 2) and isinstance(p[1], str)
            for p in record["printed"]):
        return False
    check_writable(directory)  # OSError: a full run says why it cannot write
    stamps = Stamps()
    source = record["source"]
    if not stamps.file_unchanged(source["path"], source["stamp"]):
        return False
    saved = list(sys.path)
    if source["notebook"]:
        # where modules were looked up as the run stamped them; not left
        # for a full run, whose imports a file of the notebook's could shadow
        sys.path.insert(0, os.path.dirname(source["path"]))
    try:
        return all(entry_holds(entry, stamps) for entry in record["entries"]) and \
            all(entry_files(path) == files for path, files in record["shares"].items())
    finally:
        sys.path[:] = saved


def entry_holds(entry, stamps):
    path = entry["path"]
    if sorted(os.listdir(os.path.dirname(path))) != entry["listing"] or \
            entry_files(path) != entry["files"]:
        return False
    with open(os.path.join(path, MANIFEST), "rb") as f:
        text = f.read()
    if xxhash.xxh3_128_hexdigest(text) != entry["manifest"]:
        return False
    return stale_because(json.loads(text), stamps) is None


def replay(printed):
    """What the run printed, in its order across the two streams."""
    streams = {1: sys.stdout, 2: sys.stderr}
    last = None
    for fd, text in printed:
        if last is not None and fd != last:
            streams[last].flush()
        streams[fd].write(text)
        last = fd
    for stream in streams.values():
        stream.flush()


# ---- recording a run ---------------------------------------------------------------------


class Recording:
    """A text stream written through to `stream`, what is written kept in
    `printed` (shared by both streams, so their order is kept)."""

    def __init__(self, stream, fd, recorder):
        self.stream, self.fd, self.recorder = stream, fd, recorder

    def write(self, text):
        self.recorder.keep(self.fd, text)
        return self.stream.write(text)

    def writelines(self, lines):
        for line in lines:
            self.write(line)

    def flush(self):
        return self.stream.flush()

    def __getattr__(self, name):
        if name in ("buffer", "fileno"):
            # bytes written past this stream would be missing from the record
            self.recorder.leaked = True
        return getattr(self.stream, name)


class Recorder:
    """Keeps what a run prints while it runs; the run says, as it ends, what
    it rested on (`rested_on`), and the record is written if it may be."""

    def __init__(self, where):
        self.cwd, self.path = os.getcwd(), where[1]  # both as before the run moves
        self.printed, self.size, self.leaked = [], 0, False
        self.source, self.entries, self.shares = None, None, None
        self.saved = (sys.stdout, sys.stderr)

    def install(self):
        if sys.stdout is None or sys.stderr is None:
            return False
        sys.stdout = Recording(sys.stdout, 1, self)
        sys.stderr = Recording(sys.stderr, 2, self)
        return True

    def uninstall(self):
        sys.stdout, sys.stderr = self.saved

    def keep(self, fd, text):
        if not isinstance(text, str):
            self.leaked = True
            return
        self.size += len(text)
        if self.size > MAX_PRINTED:
            self.leaked = True
        elif self.printed and self.printed[-1][0] == fd:
            self.printed[-1][1].append(text)  # joined when written: no quadratic copying
        else:
            self.printed.append([fd, [text]])

    def stamp_source(self, path, notebook):
        """The pipeline file as the run is about to read it."""
        path = os.path.join(self.cwd, path)
        try:
            st = os.stat(path)
            self.source = {"path": path, "notebook": notebook,
                           "stamp": [st.st_size, st.st_mtime_ns, file_hash(path)]}
        except OSError:
            self.source = None

    def rested_on(self, used):
        """The run's entries: path -> its files when the run read it. Kept
        only when each is the one entry of its key in its folder."""
        try:
            self.entries, self.shares = described(used)
        except Exception:  # an entry that went or changed meanwhile: no record
            self.entries = None

    def write(self, status):
        """Write the record, if the run may be answered from it next time."""
        if status != 0 or self.leaked or self.source is None or not self.entries:
            return
        source = self.source
        try:
            if not Stamps().file_unchanged(source["path"], source["stamp"]) or \
                    any(entry_files(e["path"]) != e["files"] for e in self.entries):
                return  # changed while the run read it
            record = {"format": FORMAT, "source": source, "entries": self.entries,
                      "shares": self.shares,
                      "printed": [[fd, "".join(texts)] for fd, texts in self.printed]}
            save(self.path, record)
        except Exception:  # a run that cannot leave its record is still a run
            pass


def described(used):
    """(entries, the entries they share pages with) as a record keeps them;
    (None, None) when an entry is not the one entry of its key in its folder."""
    entries, shares = [], {}
    for path, files in sorted(used.items()):
        with open(os.path.join(path, MANIFEST), "rb") as f:
            text = f.read()
        manifest = json.loads(text)
        listing = sorted(os.listdir(os.path.dirname(path)))
        key = manifest.get("key")
        if not key or sum(name.startswith(f"{key}-") for name in listing) != 1:
            return None, None
        entries.append({"path": path, "listing": listing, "files": files,
                        "manifest": xxhash.xxh3_128_hexdigest(text)})
        for shared in manifest.get("shares") or {}:
            shares[shared] = entry_files(shared)
    return entries, shares


def save(path, record):
    """Written beside, then renamed into place; the oldest records beyond
    KEEP are removed."""
    folder = os.path.dirname(path)
    os.makedirs(folder, exist_ok=True)
    with tempfile.NamedTemporaryFile("w", dir=folder, prefix=".tmp-", suffix=".json",
                                     delete=False, encoding="utf-8") as f:
        json.dump(record, f)
    try:
        os.replace(f.name, path)
    except OSError:
        os.remove(f.name)
        raise
    names = [n for n in os.listdir(folder) if n.endswith(".json") and not n.startswith(".")]
    aged = sorted(names, key=lambda n: os.stat(os.path.join(folder, n)).st_mtime)
    for name in aged[:-KEEP]:
        try:
            os.remove(os.path.join(folder, name))
        except OSError:
            pass
