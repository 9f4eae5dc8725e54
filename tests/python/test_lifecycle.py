"""Pickling refusal and the object's life: when the map is unmapped, that it is
destroyed exactly once, and that the shared table outlives every object."""

import copy
import gc
import multiprocessing as mp
import pickle

import pytest

import helpers
from fennowick.quillmap import quillmap
from helpers import JOIN_TIMEOUT, SAMPLE, SMALL, exit_with, join_all, mapped

REFUSAL = "self.chm,self.size cannot be converted to a Python object for pickling"


@pytest.mark.parametrize("attempt, message", [
    (pickle.dumps, REFUSAL),
    (lambda d: pickle.dumps(d, protocol=0), REFUSAL),
    (copy.copy, REFUSAL),
    (copy.deepcopy, REFUSAL),
    (lambda d: copy.deepcopy([d]), REFUSAL),
    (lambda d: d.__reduce__(), REFUSAL),
    (lambda d: d.__reduce_ex__(2), REFUSAL),
    (lambda d: d.__setstate__({}), REFUSAL),
    (lambda d: d.__reduce__(1), "__reduce__() takes exactly 0 positional arguments (1 given)"),
    (lambda d: d.__setstate__(), "__setstate__() takes exactly 1 positional argument (0 given)"),
    (lambda d: d.__setstate__(state={}), "__setstate__() got an unexpected keyword argument 'state'"),
])
def test_pickling_and_copying_are_refused(small, attempt, message):
    with pytest.raises(TypeError) as e:
        attempt(small)
    assert str(e.value) == message


def test_pool_task_takes_the_name_not_the_object(small):
    for key, value in SAMPLE:
        small.insert(key, value)
    with mp.get_context("spawn").Pool(1) as pool:
        with pytest.raises(TypeError) as e:
            pool.apply_async(helpers.read_sample_and_answer, (small,)).get(JOIN_TIMEOUT)
        assert str(e.value) == REFUSAL
        pool.apply_async(helpers.read_sample_and_answer, (small.name,)).get(JOIN_TIMEOUT)
    assert small.get(("answer", None)) == [True, "seen the None key"]


def test_dropping_the_last_reference_unmaps_and_the_table_lives_on():
    d = quillmap(**SMALL)
    other = quillmap(name=d.name)
    name = d.name
    for key, value in SAMPLE:
        d.insert(key, value)
    del d
    assert mapped(name)  # still mapped once, by `other`
    assert all(other.get(key) == [True, value] for key, value in SAMPLE)
    del other
    assert not mapped(name)
    # reopened by name, here and in a fresh process
    assert quillmap(name=name).get(12345) == [True, "an int key"]
    p = mp.get_context("spawn").Process(target=exit_with, args=(helpers.read_sample_and_answer, name))
    p.start()
    assert join_all([p]) == [0]


def test_finalizer_called_by_hand_destroys_exactly_once():
    d = quillmap(**SMALL)
    keeper = quillmap(name=d.name)
    d.insert("k", "v")
    d.__del__()
    d.__del__()
    with pytest.raises(ValueError):
        d.get("k")
    del d  # deallocation must not destroy again
    gc.collect()
    assert keeper.get("k") == [True, "v"]
    assert keeper.insert("k2", "v2") == 1


def test_object_in_a_cycle_is_finalised_by_the_collector():
    d = quillmap(**SMALL)
    d.me = d
    name = d.name
    del d
    assert mapped(name)
    gc.collect()
    assert not mapped(name)


def test_subclass_instances_release_their_map():
    class Sub(quillmap):
        def __init__(self, tag, **kwargs):
            super().__init__(**kwargs)
            self.tag = tag

    s = Sub("t", **SMALL)
    name = s.name
    assert s.insert(1, 2) == 1 and s.tag == "t"
    del s
    assert not mapped(name)


def test_second_init_replaces_the_map_and_closes_the_old_one():
    d = quillmap(**SMALL)
    first = d.name
    d.insert("k", "first")
    d.__init__(**SMALL)
    assert d.name != first and not mapped(first)
    assert d.get("k") == [False]
    d.__init__(name=first)
    assert d.name is first and d.get("k") == [True, "first"]
