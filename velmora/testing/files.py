"""Reading the simulator's input files (scenarios, recordings, WAV files) as input from
outside: only regular files, of a bounded size, in UTF-8 where text, with errors that name
the file and the line."""
import os
import stat

SCENARIO_LIMIT = 4 * 1024 * 1024        # bytes; a scenario is a few kilobytes
RECORDING_LIMIT = 1024 * 1024 * 1024    # recordings carry every payload
WAV_LIMIT = 512 * 1024 * 1024           # about 45 minutes of 48 kHz stereo
MAX_NESTING = 32                        # brackets within brackets; a scenario needs 4


class InputError(ValueError):
    """A file that cannot be read as the input asked for; the message names it."""


def _size(path, what, limit):
    try:
        status = os.stat(path)
    except OSError as error:
        raise InputError(f"{path}: cannot read the {what}: {error.strerror}") from None
    if not stat.S_ISREG(status.st_mode):
        raise InputError(f"{path}: the {what} must be a regular file, not a "
                         f"{'folder' if stat.S_ISDIR(status.st_mode) else 'device, pipe or socket'}")
    if status.st_size > limit:
        raise InputError(f"{path}: the {what} is {status.st_size} bytes; at most {limit} are read")
    return status.st_size


def read_bytes(path, what, limit):
    """The whole content of a regular file of at most `limit` bytes."""
    path = os.fspath(path)
    _size(path, what, limit)
    try:
        with open(path, "rb") as source:
            data = source.read(limit + 1)
    except OSError as error:
        raise InputError(f"{path}: cannot read the {what}: {error.strerror}") from None
    if len(data) > limit:  # grew while being read
        raise InputError(f"{path}: the {what} is larger than {limit} bytes")
    return data


def read_text(path, what, limit):
    """The UTF-8 text of a regular file of at most `limit` bytes."""
    path = os.fspath(path)
    data = read_bytes(path, what, limit)
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise InputError(f"{path}:{line}: the {what} is not UTF-8 text (byte {data[error.start]:#04x}); "
                         "save it as UTF-8") from None


def check_nesting(text, source, limit=MAX_NESTING, comments=False):
    """Refuses text whose brackets ([ and {, outside strings) nest deeper than `limit`, naming
    the line, before a parser recurses into it. `comments`: '#' starts a comment (TOML)."""
    depth = 0
    line = 1
    quote = None
    escaped = False
    in_comment = False
    for char in text:
        if char == "\n":
            line += 1
            in_comment = False
            if quote == "'":
                quote = None  # a literal string ends at its line (multi-line ones hold no brackets that count)
            continue
        if in_comment:
            continue
        if quote is not None:
            if escaped:
                escaped = False
            elif char == "\\" and quote == '"':
                escaped = True
            elif char == quote:
                quote = None
            continue
        if char in "\"'":
            quote = char
        elif char == "#" and comments:
            in_comment = True
        elif char in "[{":
            depth += 1
            if depth > limit:
                raise InputError(f"{source}:{line}: nested more than {limit} levels deep")
        elif char in "]}":
            depth = max(0, depth - 1)
