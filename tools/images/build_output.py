"""Writing build outputs so that an unchanged output keeps its time stamp
(and nothing downstream rebuilds) and a half-written one is never seen."""
import os


def write_if_changed(path, data):
    """Writes the bytes `data` to `path` unless it already holds them."""
    try:
        with open(path, "rb") as existing:
            if existing.read() == data:
                return
    except FileNotFoundError:
        pass
    temporary = path + ".tmp"
    with open(temporary, "wb") as out:
        out.write(data)
    os.replace(temporary, path)
