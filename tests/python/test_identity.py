"""A map remembers its serializer and hash function: openers that name none
adopt them, openers that name others are refused before any operation, and
files without the record (or with a damaged one) behave as they must."""

import pytest

from fennowick import _inspect
from fennowick.quillmap import quillmap
from helpers import SMALL, run_python

UPPER = 88  # the registry header's bytes for the layers above
RECORD = 128


def key_length(key):
    return len(repr(key))


def record_at(d):
    return _inspect.check(d.name)["registry_offset"] + UPPER


@pytest.mark.parametrize("made, opened, refused", [
    (dict(serializer="json"), {}, None),
    (dict(serializer="msgpack"), {}, None),
    (dict(serializer="json"), dict(serializer="pickle"), "serializer json, not pickle"),
    (dict(serializer="json"), dict(serializer="pickle", check_identity=False), None),
    (dict(hash_function=key_length), {}, "hash function test_identity.key_length, not builtins.hash"),
    (dict(hash_function=key_length), dict(hash_function=key_length), None),
    ({}, dict(hash_function=key_length), "hash function builtins.hash, not test_identity.key_length"),
    ({}, dict(hash_function=hash), None),
])
def test_openers_adopt_or_are_refused_the_recorded_serializer_and_hash(made, opened, refused):
    d = quillmap(**SMALL, **made)
    try:
        d.update({f"key{i}": [i] for i in range(50)})
        if refused:
            with pytest.raises(ValueError, match=refused):
                quillmap(name=d.name, **opened)
            return
        with quillmap(name=d.name, **opened) as e:
            if opened.get("check_identity") is False:
                return  # opened as asked; what it reads is the caller's business
            assert e["key5"] == [5] and len(e) == 50
            e["key5"] = "dup"
            assert len(e) == 50 and sorted(e.keys()) == sorted(f"key{i}" for i in range(50))
    finally:
        d.unlink()
        d.close()


def test_another_process_opening_by_name_alone_reads_a_json_map():
    with quillmap(**SMALL, serializer="json") as d:
        d["k"] = {"a": [1, 2]}
        r = run_python(f"from fennowick.quillmap import quillmap\n"
                       f"e = quillmap(name={d.name!r})\nprint(e['k']); e['j'] = 'from child'")
        assert r.returncode == 0, r.stderr
        assert r.stdout.strip() == "{'a': [1, 2]}" and d["j"] == "from child"
        d.unlink()


@pytest.mark.parametrize("record, refused", [
    (bytes(RECORD), None),                                         # made before the record: as before
    (b"XXXX" + bytes(RECORD - 4), "damaged serializer and hash record \\(no signature\\)"),
    (b"QMI1\xff" + bytes(RECORD - 5), "a length out of range"),
    (b"QMI1\x04" + bytes(11) + b"yaml" + bytes(RECORD - 20), "an unknown serializer"),
], ids=["zero", "signature", "length", "serializer"])
def test_a_file_without_a_record_or_with_a_damaged_one(record, refused):
    d = quillmap(**SMALL, serializer="json")
    d["k"] = 1
    at = record_at(d)
    with open(d.name, "r+b") as f:
        f.seek(at)
        f.write(record)
    try:
        if refused:
            with pytest.raises(ValueError, match=refused):
                quillmap(name=d.name)
        else:
            with quillmap(name=d.name, serializer="json", hash_function=key_length) as e:
                assert len(e) == 1  # nothing recorded: nothing checked
            with quillmap(name=d.name) as e:  # and pickle, as maps were always opened
                assert len(e) == 1 and "k" not in e  # the key is looked for as pickle's bytes
    finally:
        d.unlink()
        d.close()
