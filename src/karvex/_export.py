"""Writing a mesh to a file through trimesh, whole or not at all.

The file is encoded in memory first, then written under a temporary name in
the target's folder and moved onto the target in one step (``os.replace``),
so that a failure -- an exporter that raises, a full disk -- leaves neither
an empty nor a half-written file, and an existing file at the target stays
as it was until the new one is complete. Every format is written as one
file: glTF embeds its buffers in the JSON instead of writing side files
beside it (whose fixed names would make two exports in one folder share
their geometry).
"""

from __future__ import annotations

import os
import secrets
from typing import Any

__all__ = ["FORMATS", "export_mesh"]

# The file formats trimesh writes a triangle mesh to, by the name that
# ``file_type`` and a file's extension use.
FORMATS = ("stl", "stl_ascii", "ply", "obj", "off", "glb", "gltf", "3mf", "dae")


def export_mesh(mesh: Any, path: object, file_type: object) -> None:
    """Write the ``trimesh.Trimesh`` ``mesh`` to ``path`` in one step.

    ``path`` is a str, bytes or path-like object; ``file_type`` one of
    :data:`FORMATS` (any case) or None to take the format from the
    extension. Raises TypeError for a path of the wrong kind and ValueError
    for a format that is not in :data:`FORMATS`; whatever the encoder raises
    propagates, and nothing is written then.
    """
    target = _file_name(path)
    kind = _format(target, file_type)
    data = _encode(mesh, kind)
    _replace_with(target, data.encode() if isinstance(data, str) else data)


def _file_name(path: object) -> str:
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(
            f"path must be a file name (str, bytes or os.PathLike), got {type(path).__name__}"
        )
    return os.fsdecode(os.fspath(path))


def _format(target: str, file_type: object) -> str:
    listed = ", ".join(FORMATS)
    if file_type is None:
        extension = os.path.splitext(target)[1]
        if not extension:
            raise ValueError(
                f"cannot tell the format of {target!r}, which has no extension; name the "
                f"file with one or pass file_type= one of: {listed}"
            )
        kind, source = extension[1:].lower(), f"the extension of {target!r}"
    elif isinstance(file_type, str):
        kind, source = file_type.lower().lstrip("."), "file_type"
    else:
        raise TypeError(f"file_type must be a str such as 'stl', or None, got {file_type!r}")
    if kind not in FORMATS:
        raise ValueError(
            f"cannot export to format {kind!r} (from {source}); the formats are: {listed}"
        )
    return kind


def _encode(mesh: Any, kind: str) -> bytes | str:
    if kind == "gltf":
        # One JSON file with its buffers embedded as data URIs.
        files = mesh.export(file_type="gltf", embed_buffers=True)
        (data,) = files.values()
        return bytes(data)
    data = mesh.export(file_type=kind)
    if not isinstance(data, (bytes, str)):
        raise TypeError(f"trimesh encoded format {kind!r} as {type(data).__name__}, not a file")
    return data


def _replace_with(target: str, data: bytes) -> None:
    """Write ``data`` to a new file beside ``target``, then move it there.

    The temporary file is made with the permissions a plain ``open`` would
    give (0o666 less the umask) and removed again on any failure.
    """
    folder, name = os.path.split(os.path.abspath(target))
    temporary = os.path.join(folder, f".{name}.{secrets.token_hex(6)}.tmp")
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(data)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
