"""The Python module against the tool: the same keys from paths and from arrays,
streams fed in pieces, redaction of arrays and files, errors, threads, and the
Dask example."""
import json
import os
import pathlib
import subprocess
import sys
import threading
import wave

import numpy as np
import pytest

import vardell

TOOL = os.environ["VARDELL_TOOL"]


def write_wav(path, frames, rate):
    frames = np.asarray(frames, dtype="<i2")
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1 if frames.ndim == 1 else frames.shape[1])
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(frames.tobytes())


def read_wav(path):
    with wave.open(str(path), "rb") as w:
        frames = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")
        return frames.reshape(-1, w.getnchannels()) if w.getnchannels() > 1 else frames


def tool(*args, check=True):
    return subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True, check=check)


def records(path, keys):
    return [dict(file=str(path), channel=k.channel, key=k.key, start=k.start, end=k.end, text=k.text) for k in keys]


def call(rate, near, far, seed):
    """A stereo call: keys on the first channel, others on the second, under noise."""
    a = vardell.tones(near, rate=rate, noise=20, seed=seed, tone_ms=90, gap_ms=110)
    b = vardell.tones(far, rate=rate, level=-20, twist=3, seed=seed + 1, gap_ms=300)
    n = max(len(a), len(b)) + rate // 10
    frames = np.zeros((n, 2), np.int16)
    frames[: len(a), 0], frames[rate // 20: rate // 20 + len(b), 1] = a, b
    return frames


@pytest.fixture(scope="module")
def calls(tmp_path_factory):
    folder = tmp_path_factory.mktemp("calls")
    made = {}
    for rate, seed in ((8000, 1), (11025, 2), (44100, 3)):
        frames = call(rate, "#1234*0AB", "*78D9#", seed)
        write_wav(folder / f"call{rate}.wav", frames, rate)
        made[rate] = (folder / f"call{rate}.wav", frames)
    return made


@pytest.mark.parametrize("rate", [8000, 11025, 44100])
@pytest.mark.parametrize("options, flags", [
    ({}, []),
    ({"strict": True}, ["--strict"]),
    ({"channel": 1}, ["--channel", "1"]),
    ({"channel": 2, "strict": True}, ["--channel", "2", "--strict"]),
    ({"each_channel": True, "strict": True}, ["--each-channel", "--strict"]),
])
def test_paths_and_arrays_give_the_tools_records(calls, rate, options, flags):
    path, frames = calls[rate]
    printed = tool("decode", "--format", "jsonl", *flags, path).stdout
    expected = [json.loads(line) for line in printed.splitlines()]
    assert len(expected) >= 6
    assert records(path, vardell.decode(path, **options)) == expected
    assert records(path, vardell.decode(pathlib.Path(path), **options)) == expected
    assert records(path, vardell.decode(os.fsencode(path), **options)) == expected
    # The same frames in memory, in every form an array takes.
    for samples in (frames, np.asfortranarray(frames), frames / 32768.0, (frames / 32768.0).astype(np.float32)):
        assert records(path, vardell.decode(samples, rate=rate, **options)) == expected
    if "channel" in options:
        one = frames[:, options["channel"] - 1]
        assert records(path, vardell.decode(one, rate=rate, strict=options.get("strict", False))) == [
            dict(r, channel=None) for r in expected]


@pytest.mark.parametrize("rate, dtype, strict", [(8000, np.int16, False), (11025, np.float32, True),
                                                 (16000, np.float64, False), (48000, np.int16, True)])
def test_feeding_in_pieces_gives_one_pass(rate, dtype, strict):
    keys = "#1234567890*ABCD"
    signal = vardell.tones(keys, rate=rate, noise=15, seed=rate)
    samples = signal if dtype == np.int16 else (signal / 32768.0).astype(dtype)
    whole = vardell.decode(samples, rate=rate, strict=strict)
    assert "".join(k.key for k in whole) == keys
    engine = vardell.KeyEngine(rate=rate, strict=strict)
    got, at, pieces = [], 0, np.random.default_rng(rate).integers(0, 3000, 100)
    for size in pieces:
        got += engine.feed(samples[at: at + size])
        at += size
    got += engine.feed(samples[at:]) + engine.flush()
    assert got == whole
    assert engine.flush() == []
    with pytest.raises(ValueError, match="flushed"):
        engine.feed(samples[:10])


def test_tones_are_the_tools_signal(tmp_path):
    tool("tones", "#12ab", "-o", tmp_path / "t.wav", "--tone-ms", 70, "--level", -20, "--twist", 2, "--noise", 10,
         "--seed", 9)
    signal = vardell.tones("#12ab", tone_ms=70, level=-20, twist=2, noise=10, seed=9)
    assert signal.dtype == np.int16 and np.array_equal(signal, read_wav(tmp_path / "t.wav"))


@pytest.mark.parametrize("dtype", [np.int16, np.int32, np.float32, np.float64])
def test_redaction_of_arrays_and_files(tmp_path, dtype):
    rate = 8000
    frames = call(rate, "4929123412341234", "#5678", 7)
    noise = np.random.default_rng(3).normal(0, 300, frames.shape).astype(np.int16)
    frames = frames + noise
    scale = {np.int16: 1, np.int32: 65536, np.float32: 1 / 32768, np.float64: 1 / 32768}[dtype]
    samples = (frames * scale).astype(dtype)
    for fill, strict in (("silence", False), ("noise", True)):
        out, spans = vardell.redact(samples, rate=rate, fill=fill, strict=strict)
        assert out.dtype == samples.dtype and out.shape == samples.shape and spans
        inside = np.zeros(len(frames), bool)
        for s in spans:
            assert s.fill == fill and 0 <= s.channel <= 2 and s.start < s.end
            inside[s.start: s.end] = True
        assert np.array_equal(out[~inside], samples[~inside])
        heard = (out >> 16).astype(np.int16) if dtype == np.int32 else out
        for each in (False, True):
            assert vardell.decode(heard, rate=rate, each_channel=True, strict=each) == []
    if dtype == np.int16:  # the file road gives the array's samples and spans
        write_wav(tmp_path / "in.wav", frames, rate)
        spans = vardell.redact(tmp_path / "in.wav", tmp_path / "out.wav")
        out, same = vardell.redact(frames, rate=rate)
        assert spans == same and np.array_equal(read_wav(tmp_path / "out.wav"), out)


def test_errors(tmp_path):
    samples = vardell.tones("#1", rate=8000)
    (tmp_path / "noise.wav").write_bytes(os.urandom(3000))
    wav = tmp_path / "call.wav"
    write_wav(wav, samples, 8000)
    for path in (tmp_path / "missing.wav", tmp_path / "noise.wav", tmp_path):
        reason = tool("decode", path, check=False).stderr.splitlines()[0].removeprefix("vardell: ")
        with pytest.raises(OSError) as raised:
            vardell.decode(path)
        assert str(raised.value) == reason
        with pytest.raises(OSError, match=str(path)):
            vardell.redact(path, tmp_path / "out.wav")
    with pytest.raises(OSError, match="out.wav"):
        vardell.redact(wav, tmp_path / "no" / "out.wav")
    bad = [
        (lambda: vardell.decode(samples.astype(np.int32), rate=8000), "int32"),
        (lambda: vardell.decode(np.zeros((2, 2, 2), np.int16), rate=8000), "3-D"),
        (lambda: vardell.decode({"not": "samples"}, rate=8000), "0-D"),
        (lambda: vardell.decode(np.zeros((9, 0), np.int16), rate=8000), "channel"),
        (lambda: vardell.decode(samples), "rate"),
        (lambda: vardell.decode(samples, rate=999), "rate"),
        (lambda: vardell.decode(wav, rate=8000), "rate"),
        (lambda: vardell.decode(np.zeros((9, 2), np.int16), rate=8000, channel=3), "no channel 3"),
        (lambda: vardell.decode(samples, rate=8000, channel=0), "from 1"),
        (lambda: vardell.decode(samples, rate=8000, channel=1, each_channel=True), "exclude"),
        (lambda: vardell.KeyEngine(rate=500), "rate"),
        (lambda: vardell.KeyEngine().feed(np.zeros((4, 2), np.int16)), "1-D"),
        (lambda: vardell.KeyEngine().feed(np.zeros(4, np.uint8)), "uint8"),
        (lambda: vardell.tones("12x"), "'X' is not a DTMF key"),
        (lambda: vardell.tones(""), "no keys"),
        (lambda: vardell.tones("1", tone_ms=-1), "tone"),
        (lambda: vardell.tones("1" * 30000), "hour"),
        (lambda: vardell.redact(samples, rate=8000, fill="pink"), "fill"),
        (lambda: vardell.redact(samples, rate=500), "rate"),
        (lambda: vardell.redact(samples.astype(np.uint16), rate=8000), "uint16"),
        (lambda: vardell.redact(np.zeros((9, 65), np.int16), rate=8000), "channel"),
        (lambda: vardell.redact(wav), "out"),
        (lambda: vardell.redact(samples, tmp_path / "out.wav", rate=8000), "returned"),
    ]
    for run, words in bad:
        with pytest.raises(ValueError, match=words):
            run()
    assert vardell.decode(np.zeros(0, np.int16), rate=8000) == []


def test_threads_decode_at_once(tmp_path):
    """One thread decodes a pipe that this one writes as it goes, which only works if the
    module lets go of the GIL while it reads; another decodes an array meanwhile."""
    keys = "#0123456789*"
    samples = vardell.tones(keys * 20, rate=8000, noise=12, seed=4)
    expected = vardell.decode(samples, rate=8000)
    write_wav(tmp_path / "call.wav", samples, 8000)
    fifo = tmp_path / "live"
    os.mkfifo(fifo)
    results = {}
    threads = [threading.Thread(target=lambda: results.setdefault("pipe", vardell.decode(fifo))),
               threading.Thread(target=lambda: results.setdefault("array", vardell.decode(samples, rate=8000)))]
    for t in threads:
        t.start()
    with open(fifo, "wb") as pipe:
        pipe.write((tmp_path / "call.wav").read_bytes())
    for t in threads:
        t.join()
    assert results["pipe"] == expected and results["array"] == expected
    assert len(expected) == len(keys) * 20


def test_dask_example_writes_the_tools_records(tmp_path):
    pytest.importorskip("distributed")
    folder = tmp_path / "archive"
    (folder / "day2").mkdir(parents=True)
    names = []
    for i in range(6):
        name = folder / ("day2" if i % 2 else "") / f"call{i}.wav"
        write_wav(name, call(8000, f"*{i}{i + 1}#", f"#{i}", i), 8000)
        names.append(str(name))
    (folder / "broken.wav").write_bytes(b"RIFF....WAVE")
    names = sorted(names + [str(folder / "broken.wav")])
    expected = tool("decode", "--format", "jsonl", "--each-channel", *names, check=False)
    example = os.path.join(os.environ["VARDELL_EXAMPLES"], "archive_dask.py")
    run = subprocess.run([sys.executable, example, folder, tmp_path / "keys.jsonl", "--workers", "2",
                          "--each-channel"], capture_output=True, text=True, timeout=240)
    assert run.returncode == expected.returncode == 2
    assert "broken.wav" in run.stderr
    assert (tmp_path / "keys.jsonl").read_text() == expected.stdout
