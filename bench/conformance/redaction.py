#!/usr/bin/python3
"""Redaction against other receivers: generated stereo calls, speech on both
channels (asterisk's recorded prompts for the caller, espeak-ng for the agent),
keys typed on the caller's channel during and between the speech, with their
echo on the agent's, at several levels, twists and tone lengths down to 16 ms.
Each call goes through `vardell redact`; then Vardell's detector (both modes),
spandsp and multimon-ng listen to every channel and the mix-down of the input
and of the output.

Each cell counts, for the caller's channel / the agent's / their mix-down, the
windows around the typed keys (150 ms either side, each followed by a clear key
D, which is never typed, to tell them apart) in which a receiver takes the typed
key: from the input -> from the output. "kept" is the share of the frames
farther than 100 ms from a key that come out unchanged, "cut" the share of the
call overwritten. The script also checks that every frame outside the reported
spans is unchanged and that the report has no other fields.

Needs sox, espeak-ng, asterisk-core-sounds-en-wav, libspandsp-dev, multimon-ng
and python3-numpy (Debian packages).

    redaction.py BUILD_DIR [--quick]
"""
import glob
import json
import os
import subprocess
import sys
import tempfile
import wave

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import suite  # noqa: E402

RATE = 8000
ROWS, COLS, KEYS = suite.ROWS, suite.COLS, suite.KEYS


def load(path, tmp):
    out = os.path.join(tmp, "load.raw")
    subprocess.run(["sox", "-D", path, "-t", "raw", "-r", str(RATE), "-e", "signed", "-b", "16", "-c", "1", out],
                   check=True, capture_output=True)
    return np.fromfile(out, dtype="<i2").astype(float)


def voices(tmp, seconds):
    """Caller: recorded prompts; agent: espeak-ng, several voices."""
    prompts = sorted(p for p in glob.glob("/usr/share/asterisk/sounds/en*/*.wav")
                     if not any(w in p for w in ("tone", "beep", "dtmf", "digit")))
    caller = [load(p, tmp) for p in prompts[: int(seconds / 2)]]
    agent = []
    for i, (voice, pitch) in enumerate(suite.ESPEAK_VOICES[:4]):
        wav = os.path.join(tmp, f"agent-{i}.wav")
        text = " ".join(suite.text_corpus().split()[i * 400: i * 400 + int(seconds * 0.8)])
        subprocess.run(["espeak-ng", "-v", voice, "-p", str(pitch), "-w", wav, text], check=True, capture_output=True)
        agent.append(load(wav, tmp))
    return caller, agent


def track(pieces, n, rng, level):
    """Pieces in order with pauses of 0.2-1.5 s, scaled to `level` dBFS peak, n samples."""
    x, at = np.zeros(n), 0
    for p in pieces:
        at += int(rng.uniform(0.2, 1.5) * RATE)
        if at >= n:
            break
        p = p[: n - at] * 10 ** (level / 20) * 32767 / max(1.0, np.max(np.abs(p)))
        x[at: at + len(p)] += p
        at += len(p)
    return x


def tone(key, n, level, twist, rng):
    i = KEYS.index(key)
    t = np.arange(n) / RATE
    a = 10 ** (level / 20) * 32767
    return (a * 10 ** (-max(twist, 0) / 20) * np.sin(2 * np.pi * ROWS[i // 4] * t + rng.uniform(0, 6.3)) +
            a * 10 ** (min(twist, 0) / 20) * np.sin(2 * np.pi * COLS[i % 4] * t + rng.uniform(0, 6.3)))


def call(seed, seconds, caller, agent, tone_ms, levels):
    """Stereo samples and the typed keys as (start, end, key)."""
    rng = np.random.default_rng(seed)
    n = seconds * RATE
    left = track(caller, n, rng, -6) + rng.normal(0, 10, n)
    right = track(agent, n, rng, -8) + rng.normal(0, 10, n)
    keys, at = [], int(0.5 * RATE)
    while True:
        at += int(rng.uniform(0.8, 3.0) * RATE)  # a burst of keys every few seconds, over speech or not
        burst = []
        for _ in range(int(rng.integers(4, 12))):
            ms = tone_ms[int(rng.integers(len(tone_ms)))]
            length = int(ms * RATE / 1000)
            burst.append((at, at + length, KEYS.replace("D", "")[int(rng.integers(15))]))
            at += length + int(rng.uniform(40, 160) * RATE / 1000)
        if at + RATE > n:
            break
        keys += burst
    for start, end, key in keys:
        level, twist = levels[int(rng.integers(len(levels)))], rng.uniform(-4, 4)
        x = tone(key, end - start, level, twist, rng)
        left[start:end] += x
        echo = start + int(0.03 * RATE)  # the line's echo on the agent's side, 25 dB down
        right[echo: echo + len(x)] += x[: n - echo] * 10 ** (-25 / 20)
    return np.clip(np.round(np.stack([left, right], axis=1)), -32768, 32767).astype("<i2"), keys


def write_wav(path, frames):
    with wave.open(path, "wb") as w:
        w.setnchannels(frames.shape[1])
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(frames.tobytes())


def read_wav(path):
    with wave.open(path, "rb") as w:
        return np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").reshape(-1, w.getnchannels())


def windows(signal, keys):
    """The keys' windows of one signal, at the conformance rate, each followed by
    a clear key D (never typed), so that a receiver's keys can be told apart by window."""
    pad = int(0.15 * RATE)
    mark = np.concatenate([np.zeros(int(0.2 * RATE)), tone("D", int(0.1 * RATE), -10, 0, np.random.default_rng(0)),
                           np.zeros(int(0.2 * RATE))])
    parts = [p for s, e, _ in keys for p in (signal[max(0, s - pad): e + pad], mark)]
    raw = np.clip(np.round(np.concatenate(parts)), -32768, 32767).astype("<i2").tobytes()
    up = subprocess.run(["sox", "-t", "raw", "-r", str(RATE), "-e", "signed", "-b", "16", "-c", "1", "-", "-t", "raw",
                         "-r", str(suite.RATE), "-"], input=raw, capture_output=True, check=True).stdout
    return np.frombuffer(up, dtype="<i2").astype(float)


def signals(frames):
    return {"caller": frames[:, 0], "agent": frames[:, 1],
            "mix": (frames[:, 0].astype(float) + frames[:, 1]) / 2}


def heard(det, signal, keys):
    """{receiver: windows whose typed key it takes}; None where the marks went astray."""
    out = {}
    for receiver, got in det.run(windows(signal, keys)).items():
        found = got.split("D")
        out[receiver] = None if len(found) != len(keys) + 1 else sum(k in f for (_, _, k), f in zip(keys, found))
    return out


def check(build, tmp, seed, seconds, caller, agent, tone_ms, levels, options):
    frames, keys = call(seed, seconds, caller, agent, tone_ms, levels)
    src, out, rep = (os.path.join(tmp, n) for n in ("in.wav", "out.wav", "report.json"))
    write_wav(src, frames)
    subprocess.run([os.path.join(build, "bin", "vardell"), "redact", src, "-o", out, "--report", rep] + options,
                   check=True)
    redacted = read_wav(out)
    spans = [json.loads(line) for line in open(rep)]
    assert redacted.shape == frames.shape
    assert all(set(s) == {"file", "channel", "start", "end", "fill"} for s in spans)
    inside = np.zeros(len(frames), bool)
    for s in spans:
        inside[s["start"]: s["end"]] = True
    assert np.array_equal(redacted[~inside], frames[~inside]), "a sample outside the spans changed"
    near = np.zeros(len(frames), bool)
    for s, e, _ in keys:
        near[max(0, s - int(0.1 * RATE)): e + int(0.1 * RATE)] = True
    det = suite.Detectors(build)
    counts = {}
    for name in ("caller", "agent", "mix"):
        for label, source in (("in", frames), ("out", redacted)):
            for receiver, n in heard(det, signals(source)[name], keys).items():
                cell = counts.setdefault(receiver, {}).setdefault(label, {})
                cell[name] = n
    kept = 100.0 * np.mean(np.all(redacted[~near] == frames[~near], axis=1))
    return len(keys), counts, kept, 100.0 * inside.mean()


def main():
    build = sys.argv[1]
    quick = "--quick" in sys.argv
    seconds = 40 if quick else 120
    cases = [("16-30 ms tones, -10..-30 dBFS", [16, 20, 25, 30], [-10, -20, -30], []),
             ("40-100 ms tones, -10..-30 dBFS", [40, 50, 70, 100], [-10, -20, -30], []),
             ("20-200 ms tones, -35..-45 dBFS", [20, 40, 80, 200], [-35, -40, -45], []),
             ("20-100 ms tones, comfort noise", [20, 40, 100], [-10, -25], ["--fill", "noise"]),
             ("20-100 ms tones, --strict", [20, 40, 100], [-10, -25], ["--strict"])]
    with tempfile.TemporaryDirectory(prefix="vardell-redaction-") as tmp:
        caller, agent = voices(tmp, seconds)
        print("| calls (8000 Hz stereo) | keys | " + " | ".join(
            f"{r}" for r in ("default mode", "strict mode", "spandsp", "multimon-ng")) +
            " | kept | cut |")
        print("|---|---|" + "---|" * 4 + "---|---|")
        for seed, (label, tone_ms, levels, options) in enumerate(cases, 1):
            n, counts, kept, cut = check(build, tmp, seed, seconds, caller, agent, tone_ms, levels, options)
            cells = [" / ".join(f"{c['in'][n]}" for n in ("caller", "agent", "mix")) + " → **" +
                     " / ".join(f"{c['out'][n]}" for n in ("caller", "agent", "mix")) + "**" for c in counts.values()]
            print(f"| {label} | {n} | " + " | ".join(cells) + f" | {kept:.2f} % | {cut:.1f} % |", flush=True)


if __name__ == "__main__":
    main()
