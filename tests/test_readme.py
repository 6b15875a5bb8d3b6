"""The README's code runs as it stands there: the quick start receives frames from aravis's fake camera,
the camera section's stream sources stream through our pipeline (paced, multi-part, with 64-bit block
IDs, the controller set up as the README sets it), and the files it names exist."""

import os
import re
import textwrap
import time

from conftest import aravis_client, run_python
from test_softdevice import address_of
from test_stream_source_default import streaming  # noqa: F401  (the fixture)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
README = os.path.join(ROOT, "README.md")


def section(heading):
    """The README's text under heading (a whole line, such as "## Quick start"), up to the next heading
    of the same level or above."""
    with open(README) as f:
        lines = f.read().splitlines()
    assert heading in lines, "the README has no section %r" % heading
    level = len(heading) - len(heading.lstrip("#"))
    body, fenced = [], False
    for line in lines[lines.index(heading) + 1:]:
        fenced ^= line.startswith("```")
        marks = len(line) - len(line.lstrip("#"))
        if not fenced and 0 < marks <= level and line[marks:marks + 1] == " ":
            break
        body.append(line)
    return "\n".join(body)


def python_blocks(text):
    return re.findall(r"^```python\n(.*?)^```$", text, re.M | re.S)


def source_classes():
    """The README's sources: Ramp, TwoParts and LongIds, and its controller's settings (code to run
    with `controller` bound)."""
    ramp, _ = python_blocks(section("### A stream source"))
    two_parts, long_ids, settings = python_blocks(section("### Multi-part blocks and 64-bit block IDs"))
    namespace = {}
    for block in (ramp, two_parts, long_ids):
        exec(block, namespace)
    return namespace, settings


def test_the_quick_start_receives_frames_from_a_camera(aravis_fake_camera):
    (code,) = python_blocks(section("## Quick start"))
    proc = run_python(code, timeout=120)
    assert proc.returncode == 0, proc.stdout[-2000:] + proc.stderr[-4000:]
    lines = proc.stdout.splitlines()
    assert len(lines) == 10, proc.stdout
    ids = []
    for line in lines:
        match = re.fullmatch(r"(\d+) OK \(512, 512\) uint8 \d+\.\d+", line)
        assert match, line
        ids.append(int(match.group(1)))
    assert ids == sorted(set(ids)), ids


def receive(k, ip, count, settings=None):
    """count frames of the device at ip through a pipeline, the controller set up by the code in
    settings: [(arrival time, buffer's block ID, whether extended, payload type, [data per part])], and
    the time just before the acquisition started."""
    result, controller = k.TqDevice.CreateAndConnect(ip)
    assert result.IsOK(), str(result.GetDescription())
    result, stream = k.TqStream.CreateAndOpen(ip)
    assert result.IsOK(), str(result.GetDescription())
    pipeline = k.TqPipeline(stream)
    frames = []
    try:
        if settings:
            exec(settings, {"controller": controller})
        assert pipeline.Start().IsOK() and controller.StreamEnable().IsOK()
        started = time.monotonic()
        assert controller.GetParameters().ExecuteCommand("AcquisitionStart").IsOK()
        while len(frames) < count:
            result, buffer, operation = pipeline.RetrieveNextBuffer(20000)
            assert buffer is not None, str(result.GetDescription())
            arrived = time.monotonic()
            assert operation.IsOK(), str(operation.GetCodeString())
            if buffer.GetPayloadType() == k.TqPayloadTypeMultiPart:
                parts = buffer.GetMultiPartContainer()
                data = [parts.GetPart(i).GetDataPointer().copy() for i in range(parts.GetPartCount())]
            else:
                data = [buffer.GetImage().GetDataPointer().copy()]
            frames.append((arrived, buffer.GetBlockID(), buffer.IsExtendedID(), buffer.GetPayloadType(), data))
            pipeline.ReleaseBuffer(buffer)
        controller.GetParameters().ExecuteCommand("AcquisitionStop")
        controller.StreamDisable()
        pipeline.Stop()
    finally:
        k.TqStream.Free(stream)
        k.TqDevice.Free(controller)
    return frames, started


def frame_number(image):
    """The number a Ramp frame carries in every pixel."""
    assert (image == image.flat[0]).all()
    return int(image.flat[0])


def test_the_stream_source_streams_paced_frames(k, hooks):
    namespace, _ = source_classes()
    usage = python_blocks(section("### A stream source"))[1]
    exec(usage, namespace)
    device = namespace["device"]
    try:
        assert namespace["result"].IsOK(), str(namespace["result"].GetDescription())
        frames, started = receive(k, address_of(hooks, device), 10)
    finally:
        assert device.Stop().IsOK()
        namespace.clear()   # its functions' globals: the device and result go now, not with a cycle
        del device
    numbers = []
    for _, block_id, extended, payload_type, (image,) in frames:
        assert payload_type == k.TqPayloadTypeImage and image.shape == (480, 640) and not extended
        numbers.append(frame_number(image))
    assert numbers == sorted(set(numbers)) and numbers[0] >= 1
    # At 30 frames a second the source cannot have made more than the time allows (a load only
    # slows it): frame n is made no sooner than (n - 1) / 30 s after the start.
    assert numbers[-1] <= (frames[-1][0] - started) * 30 + 1, (numbers, frames[-1][0] - started)


def test_the_multi_part_source_sends_both_parts(k, hooks, streaming):
    namespace, settings = source_classes()
    device = streaming(namespace["TwoParts"](rate=200))
    frames, _ = receive(k, address_of(hooks, device), 5, settings)
    for _, _, _, payload_type, data in frames:
        assert payload_type == k.TqPayloadTypeMultiPart and [d.size for d in data] == [640 * 480, 8 * 4]
        assert frame_number(data[0]) >= 1 and (data[1] == 255).all()


def test_the_long_id_source_numbers_its_blocks_past_32_bits(k, hooks, streaming):
    namespace, settings = source_classes()
    device = streaming(namespace["LongIds"](rate=200))
    frames, _ = receive(k, address_of(hooks, device), 5, settings)
    for _, block_id, extended, _, (image,) in frames:
        assert extended and block_id == 2**40 + frame_number(image)


def test_aravis_receives_as_the_readme_shows(k, hooks, streaming):
    namespace, _ = source_classes()
    device = streaming(namespace["Ramp"](rate=200))
    assert address_of(hooks, device) == "127.0.0.1", "the README's aravis code opens 127.0.0.1"
    (code,) = python_blocks(section("### Streaming to aravis"))
    code += textwrap.dedent("""
        import json
        frame = {"status": buffer.get_status().value_nick, "size": [buffer.get_image_width(), buffer.get_image_height()],
                 "data": bytes(buffer.get_image_data()).hex()}
        camera.stop_acquisition()
        print(json.dumps(frame))
        """)
    frame = aravis_client(code, timeout=120)
    assert frame["status"] == "success" and frame["size"] == [640, 480], frame["status"]
    assert set(bytes.fromhex(frame["data"])) == {bytes.fromhex(frame["data"])[0]}   # one frame's number throughout


def test_the_files_it_names_exist():
    with open(README) as f:
        text = f.read()
    named = set(re.findall(r"\]\(([^)#:]+)\)", text))   # relative links
    named |= set(re.findall(r"\b((?:examples|tests|bench|scripts)/[\w/.-]+\.(?:py|sh))\b", text))
    assert len(named) > 10
    missing = sorted(path for path in named if not os.path.exists(os.path.join(ROOT, path)))
    assert not missing, missing
