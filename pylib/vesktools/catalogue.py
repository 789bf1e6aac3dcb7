"""The chip catalogue, vesk/chips/chip_models.def, read as text: the rows the
library, the adapter and the tools compile in (see that file for what each
field means)."""
import collections
import os
import re

DEF = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "vesk", "chips", "chip_models.def")

Family = collections.namedtuple("Family", "id name clock_field since stream_id command ports")
Model = collections.namedtuple("Model", "id name family variant replaces factor scci_type scci_location "
                                        "chip_class set_up")

_ROW = re.compile(r"^(VESK_CHIP_FAMILY|VESK_CHIP_MODEL)\((.*)\)\s*$")


def _field(text):
    text = text.strip()
    if text.startswith('"'):
        return text.strip('"')
    try:
        return int(text, 0)
    except ValueError:
        return text


def _rows(kind, path=DEF):
    with open(path, encoding="utf-8") as f:
        for line in f:
            m = _ROW.match(line.strip())
            if m and m.group(1) == kind:
                yield [_field(x) for x in m.group(2).split(",")]


def families(path=DEF):
    """The VGM families, in the order of their clock fields."""
    return [Family(*row) for row in _rows("VESK_CHIP_FAMILY", path)]


def models(path=DEF):
    """The board models, each family's in order of preference."""
    return [Model(*row) for row in _rows("VESK_CHIP_MODEL", path)]
