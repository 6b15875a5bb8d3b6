"""The user-set store's files as a raw controller meets them: folders made 0700 and files 0600
whatever the umask; no symbolic link followed, neither to save (a linked folder refuses the save, a
linked file is replaced) nor to load; a load that takes regular files up to the documented 16 MiB
and fails at once on anything else (a link to /dev/urandom, a FIFO, a folder, a byte too many),
with the device answering throughout; repeats refused and many distinct lines taken. Folders of the
user's that others could write are tightened to 0700 and a set others could have written is not
loaded; a folder of someone else's is neither read nor written."""

import os
import stat

import pytest

from gvcp_client import SUCCESS, WIDTH
from test_softdevice_events import (DEFAULT, ERROR, LOAD, LO, SAVE, SELECTOR, address_of, controller, devices,  # noqa: F401
                                    source, store)

LIMIT = 16 << 20


def mode(path):
    return stat.S_IMODE(os.lstat(path).st_mode)


@pytest.fixture
def running(hooks, devices, source, store):
    """A started device of two user sets with a stream, its store folder (not made yet) and a controller."""
    device = devices(2, source)
    assert device.Start(LO).IsOK()
    client = controller(address_of(hooks, device))
    yield client, store / str(device.GetInfo().GetSerialNumber())
    client.close()


def load(client, number):
    assert client.write_reg(SELECTOR, number) == SUCCESS
    return client.write_reg(LOAD, 1)


def save(client, number):
    assert client.write_reg(SELECTOR, number) == SUCCESS
    return client.write_reg(SAVE, 1)


def test_folders_and_files_belong_to_the_user_whatever_the_umask(hooks, devices, source, tmp_path, monkeypatch):
    home = tmp_path / "missing" / "data"
    monkeypatch.setenv("XDG_DATA_HOME", str(home))
    device = devices(1, source)
    assert device.Start(LO).IsOK()
    client = controller(address_of(hooks, device))
    before = os.umask(0)
    try:
        assert save(client, 1) == SUCCESS and client.write_reg(DEFAULT, 1) == SUCCESS
    finally:
        os.umask(before)
        client.close()
    folder = home / "kivo" / "usersets" / str(device.GetInfo().GetSerialNumber())
    assert [mode(p) for p in (home.parent, home, home / "kivo", folder.parent, folder)] == [0o700] * 5
    assert sorted((p.name, mode(p)) for p in folder.iterdir()) == [("UserSet1.txt", 0o600),
                                                                    ("UserSetDefault.txt", 0o600)]


def test_a_save_never_writes_through_a_link(running, store, tmp_path):
    client, folder = running
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    # The serial number's folder, or one above it, linked elsewhere: the save fails, nothing is written.
    store.mkdir(parents=True)
    folder.symlink_to(elsewhere)
    assert save(client, 1) == ERROR and client.write_reg(DEFAULT, 1) == ERROR
    folder.unlink()
    store.rmdir()
    store.parent.rmdir()
    store.parent.symlink_to(elsewhere)
    assert save(client, 1) == ERROR
    store.parent.unlink()
    assert list(elsewhere.iterdir()) == []
    # A link in the set's place is replaced by the set; what it pointed at stays as it was.
    folder.mkdir(parents=True)
    target = tmp_path / "target.txt"
    target.write_text("mine\n")
    (folder / "UserSet1.txt").symlink_to(target)
    assert save(client, 1) == SUCCESS
    assert not (folder / "UserSet1.txt").is_symlink() and "Width 0 640" in (folder / "UserSet1.txt").read_text()
    assert target.read_text() == "mine\n"


@pytest.mark.allocation
def test_a_load_takes_bounded_regular_files_and_never_waits(running, tmp_path):
    client, folder = running
    folder.mkdir(parents=True)
    set_file = folder / "UserSet1.txt"
    good = tmp_path / "good.txt"
    good.write_text("Width 0 320\n")
    # Nothing but a regular file of the store is read: a link (even to a good set), endless bytes,
    # a FIFO no one writes, a folder.
    for make in (lambda: set_file.symlink_to(good), lambda: set_file.symlink_to("/dev/urandom"),
                 lambda: os.mkfifo(set_file), lambda: set_file.mkdir()):
        make()
        assert load(client, 1) == ERROR
        assert client.read_reg(WIDTH) == 640   # the device answers, unchanged
        set_file.rmdir() if set_file.is_dir() and not set_file.is_symlink() else set_file.unlink()
    # The largest file a load takes, and one byte more.
    head = b"Width 0 320\n#"
    set_file.write_bytes(head + b"x" * (LIMIT - len(head) - 1) + b"\n")
    assert load(client, 1) == SUCCESS and client.read_reg(WIDTH) == 320
    assert client.write_reg(WIDTH, 640) == SUCCESS
    set_file.write_bytes(head + b"x" * (LIMIT - len(head)) + b"\n")
    assert load(client, 1) == ERROR and client.read_reg(WIDTH) == 640


def test_a_default_set_behind_a_link_is_not_loaded(hooks, devices, source, store, tmp_path):
    device = devices(1, source)
    assert device.Start(LO).IsOK()
    client = controller(address_of(hooks, device))
    try:
        assert client.write_reg(WIDTH, 320) == SUCCESS and save(client, 1) == SUCCESS
        assert client.write_reg(WIDTH, 640) == SUCCESS   # the source keeps its width over a restart
    finally:
        client.close()
    assert device.Stop().IsOK()
    [folder] = list(store.iterdir())
    (tmp_path / "default.txt").write_text("UserSet1\n")
    (folder / "UserSetDefault.txt").symlink_to(tmp_path / "default.txt")
    assert device.Start(LO).IsOK()
    client = controller(address_of(hooks, device))
    try:
        assert (client.read_reg(DEFAULT), client.read_reg(WIDTH)) == (0, 640)
    finally:
        client.close()


def test_repeats_are_refused_and_many_distinct_lines_taken(running):
    client, folder = running
    folder.mkdir(parents=True)
    set_file = folder / "UserSet1.txt"
    for text in ("Width 0 320\nWidth 0 256\n", "Width 0 320\nregister A 00\nregister A 01\n",
                 "Width 0 320\ncustom Gone 1 00\ncustom Gone 1 01\n", "Width 0 320\ncustom G%6fne 1 00\ncustom Gone 1 01\n",
                 "Width 0 +320\n", "Width 0 4294967296\n",
                 "Width 0 320\n \n"):
        set_file.write_text(text)
        assert load(client, 1) == ERROR, text
        assert client.read_reg(WIDTH) == 640, text
    # Features the device does not describe: each distinct one passed over, the same name in
    # another scope distinct too; line ends as a text stream takes them.
    lines = "".join("custom Gone%d %s 00\n" % (n // 2, ("device", "3")[n % 2]) for n in range(20000))
    set_file.write_text("Width 0 320\r\n\t" + lines + "Height 0 240")
    assert load(client, 1) == SUCCESS
    assert client.read_reg(WIDTH) == 320


NOBODY = 65534


def test_a_folder_open_to_others_is_tightened_and_what_others_could_write_is_not_loaded(running, store):
    client, folder = running
    folder.mkdir(parents=True)
    opened = [store.parent, store, folder]
    for path in opened:
        path.chmod(0o777)
    set_file = folder / "UserSet1.txt"
    set_file.write_text("Width 0 320\n")
    set_file.chmod(0o666)   # as a set someone else put there would be
    assert load(client, 1) == ERROR and client.read_reg(WIDTH) == 640
    assert [mode(p) for p in opened] == [0o700] * 3
    # The user's own set, which nobody else may write, is taken from the tightened folder.
    set_file.chmod(0o644)
    assert load(client, 1) == SUCCESS and client.read_reg(WIDTH) == 320
    assert client.write_reg(WIDTH, 640) == SUCCESS
    if os.geteuid() == 0:
        # A set file of another user's, even one nobody else may write.
        os.chown(set_file, NOBODY, NOBODY)
        assert load(client, 1) == ERROR and client.read_reg(WIDTH) == 640
        os.chown(set_file, 0, 0)
    # A save into the tightened store still works, and its file is the user's 0600.
    assert save(client, 1) == SUCCESS and mode(set_file) == 0o600


@pytest.mark.skipif(os.geteuid() != 0, reason="only root makes a folder of another user's")
@pytest.mark.parametrize("level", ["kivo", "usersets", "serial"])
def test_a_folder_of_someone_elses_is_neither_read_nor_written(running, store, level):
    client, folder = running
    folder.mkdir(parents=True)
    (folder / "UserSet1.txt").write_text("Width 0 320\n")
    (folder / "UserSet1.txt").chmod(0o600)
    theirs = {"kivo": store.parent, "usersets": store, "serial": folder}[level]
    os.chown(theirs, NOBODY, NOBODY)
    theirs.chmod(0o777)
    try:
        assert load(client, 1) == ERROR and client.read_reg(WIDTH) == 640
        assert save(client, 2) == ERROR and client.write_reg(DEFAULT, 1) == ERROR
        assert mode(theirs) == 0o777 and os.stat(theirs).st_uid == NOBODY   # not the device's to change
        assert sorted(p.name for p in folder.iterdir()) == ["UserSet1.txt"]
    finally:
        os.chown(theirs, 0, 0)
