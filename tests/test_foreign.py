"""A module of another generator of the same runtime family (foreign_swig, built by Debian's swig from
tests/foreign/foreign.i) shares the runtime capsule with ours. Its block in the capsule's list holds
only the common fields, and its proxies are not ours: each side refuses the other's proxies with its
own argument error, while descriptors are still shared by name."""

import textwrap

import pytest

OURS = "import _kivo_python64 as m, kivo_python64 as k, _kivo_testhooks as hooks"
FOREIGN = "import foreign_swig as f"

EXERCISE = textwrap.dedent("""
    import sys
    SELF_ERROR = "in method 'TqResult_GetCode', argument 1 of type 'TqResult const *'"
    FOREIGN_ERROR = "in method 'sensor_id', argument 1 of type 'Sensor const *'"

    def refused(call, arg):
        try:
            call(arg)
        except TypeError as error:
            return str(error)
        return "accepted"

    # Our modules work as usual.
    r, other, text = k.TqResult(5), k.TqResult(6), k.TqString("abc")
    assert r == 5 and r != other and not r == other and r.GetCode() == 5
    assert text == "abc" and str(text) == "abc" and text.GetLength() == 3
    view = hooks.make_pointer("_p_TqResult", int(r.this))
    bare = hooks.make_pointer("_p_TqResult", int(r.this), 2)
    assert type(view) is k.TqResult and view == r and view.this == r.this == bare
    assert m.TqResult_GetCode(view) == m.TqResult_GetCode(bare) == 5
    r.this.append(bare)  # a proxy of the other of our modules is one of ours
    assert r.this.next() is bare

    # The foreign module's proxies and instances are not ours, and the reverse.
    sensor = f.default_sensor()
    assert type(sensor.this).__name__ == type(r.this).__name__ == "SwigPyObject"
    assert type(sensor.this) is not type(r.this)
    for wrong in (sensor, sensor.this, f.Sensor(), f.Frame().this):
        assert refused(m.TqResult_GetCode, wrong) == SELF_ERROR
        assert m.TqResult___eq__(r, wrong) is NotImplemented
    for wrong in (r, r.this, bare, text, text.this):
        assert refused(f.sensor_id, wrong) == FOREIGN_ERROR
    assert refused(r.this.append, sensor.this) == "Attempt to append a non SwigPyObject"

    # Descriptors are shared by name, whichever module made them.
    assert hooks.query("Sensor *") == "_p_Sensor"
    assert f.sensor_id(hooks.make_pointer("_p_Sensor", int(sensor.this), 2)) == 7
    shadow = hooks.make_pointer("_p_Sensor", int(sensor.this))
    assert type(shadow) is f.Sensor and f.sensor_id(shadow) == 7
    assert f.text_length(hooks.char_pointer(b"four")) == 4
    assert sys.exc_info() == (None, None, None)
    del r, other, text, view, bare, shadow
    print("ok")
""")


@pytest.mark.parametrize("first, second", [(FOREIGN, OURS), (OURS, FOREIGN)], ids=["foreign-first", "ours-first"])
def test_modules_share_the_capsule_in_either_order(python_run, first, second):
    proc = python_run("\n".join([first, second, EXERCISE]))
    assert (proc.stdout, proc.returncode) == ("ok\n", 0), proc.stderr
