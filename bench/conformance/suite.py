#!/usr/bin/python3
"""DTMF conformance suite: Q.24-style test signals, talk-off material, and a
runner that scores every detector on the same files.

Signals are made at 11025 Hz and resampled (sox) for the detectors that want
another rate: spandsp reads 8000 Hz, multimon-ng 22050 Hz. Detected keys are
aligned with the sent ones by edit distance; a row's cell is the share of sent
keys detected and the count of keys that were not sent.

    suite.py report BUILD_DIR OUT_MD      the full run, writes the report and plots
    suite.py ablate BUILD_DIR             what each strict check buys
    suite.py rows BUILD_DIR               the signal rows alone, printed
    suite.py talkoff BUILD_DIR [--quick]  the talk-off material alone, printed
"""
import atexit
import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np

RATE = 11025
ROWS = [697, 770, 852, 941]
COLS = [1209, 1336, 1477, 1633]
KEYS = "123A456B789C*0#D"
ROOT = os.path.dirname(os.path.abspath(__file__))


# ---------------------------------------------------------------- signals

def tone_pair(key, ms, level=-10.0, dev=0.0, twist=0.0, phase=None, rng=None):
    """One key's two sines. level: dBFS peak of the two together (each sine
    6 dB below it); twist: column tone above row tone, dB; dev: relative
    frequency error of both tones (same sign)."""
    i = KEYS.index(key)
    n = int(round(ms * RATE / 1000))
    t = np.arange(n) / RATE
    per_tone = 10 ** ((level - 6.0206) / 20) * 32767
    low = per_tone * 10 ** (-max(twist, 0) / 20)
    high = per_tone * 10 ** (min(twist, 0) / 20)
    rng = rng or np.random.default_rng(0)
    p1, p2 = rng.uniform(0, 2 * np.pi, 2) if phase is None else (phase, phase)
    return (low * np.sin(2 * np.pi * ROWS[i // 4] * (1 + dev) * t + p1)
            + high * np.sin(2 * np.pi * COLS[i % 4] * (1 + dev) * t + p2))


def key_train(keys, on_ms=100, off_ms=100, snr=None, break_ms=0, seed=1, **tone):
    """Keys separated by pauses, with an optional break of break_ms in the
    middle of each tone and white noise snr dB below one tone's power."""
    rng = np.random.default_rng(seed)
    parts = [np.zeros(int(RATE * 0.1) + int(rng.integers(0, 256)))]
    for k in keys:
        x = tone_pair(k, on_ms, rng=rng, **tone)
        if break_ms:
            mid, b = len(x) // 2, int(round(break_ms * RATE / 1000))
            x[mid - b // 2: mid - b // 2 + b] = 0
        parts += [x, np.zeros(int(round(off_ms * RATE / 1000)))]
    x = np.concatenate(parts + [np.zeros(RATE // 5)])
    if snr is not None:
        level = tone.get("level", -10.0)
        tone_power = (10 ** ((level - 6.0206) / 20) * 32767) ** 2 / 2
        x += rng.normal(0, np.sqrt(tone_power / 10 ** (snr / 10)), len(x))
    return x


def pcm(x):
    return np.clip(np.round(x), -32768, 32767).astype("<i2")


def random_keys(n, seed):
    rng = np.random.default_rng(seed)
    return "".join(rng.choice(list(KEYS), n))


# ---------------------------------------------------------------- detectors

class Detectors:
    def __init__(self, build):
        self.keys = os.path.join(build, "bin", "dtmf_keys")
        self.tmp = tempfile.mkdtemp(prefix="dtmf-conf-")
        atexit.register(shutil.rmtree, self.tmp, True)
        self.names = ["default mode", "strict mode"]
        self.spandsp = None
        if os.path.exists("/usr/include/x86_64-linux-gnu/spandsp.h") or os.path.exists("/usr/include/spandsp.h"):
            self.spandsp = os.path.join(self.tmp, "spandsp_keys")
            subprocess.run(["cc", "-O2", "-o", self.spandsp, os.path.join(ROOT, "spandsp_keys.c"), "-lspandsp"],
                           check=True)
            self.names.append("spandsp")
        self.multimon = shutil.which("multimon-ng")
        if self.multimon:
            self.names.append("multimon-ng")

    def resample(self, raw, rate):
        return subprocess.run(["sox", "-t", "raw", "-r", str(RATE), "-e", "signed", "-b", "16", "-c", "1", "-",
                               "-t", "raw", "-r", str(rate), "-e", "signed", "-b", "16", "-c", "1", "-"],
                              input=raw, capture_output=True, check=True).stdout

    def run(self, samples, extra=None):
        """{detector: detected keys} for 11025 Hz int16 samples."""
        raw = pcm(samples).tobytes()
        out = {}
        for name in self.names:
            if name == "default mode":
                cmd, data = [self.keys], raw
            elif name == "strict mode":
                cmd, data = [self.keys, "--strict"] + (extra or []), raw
            elif name == "spandsp":
                cmd, data = [self.spandsp], self.resample(raw, 8000)
            else:
                cmd, data = [self.multimon, "-q", "-c", "-a", "DTMF", "-t", "raw", "-"], self.resample(raw, 22050)
            text = subprocess.run(cmd, input=data, capture_output=True, check=True).stdout.decode()
            if name == "multimon-ng":
                text = "".join(l.split(":")[1].strip() for l in text.splitlines() if l.startswith("DTMF:"))
            out[name] = text.strip()
        return out


def align(sent, got):
    """Matched keys of the best edit-distance alignment of got against sent."""
    n, m = len(sent), len(got)
    d = np.zeros((n + 1, m + 1), dtype=np.int32)
    d[:, 0] = np.arange(n + 1)
    d[0, :] = np.arange(m + 1)
    for i in range(1, n + 1):
        for j in range(1, m + 1):
            d[i, j] = min(d[i - 1, j] + 1, d[i, j - 1] + 1, d[i - 1, j - 1] + (sent[i - 1] != got[j - 1]))
    i, j, hits = n, m, 0
    while i and j:
        if d[i, j] == d[i - 1, j - 1] + (sent[i - 1] != got[j - 1]):
            hits += sent[i - 1] == got[j - 1]
            i, j = i - 1, j - 1
        elif d[i, j] == d[i - 1, j] + 1:
            i -= 1
        else:
            j -= 1
    return hits


# ---------------------------------------------------------------- rows

def q24_rows(n=100):
    """(group, label, x, kind, sent keys, samples). kind: accept / reject / info."""
    rows = []

    def add(group, label, x, kind, keys, **kw):
        rows.append((group, label, x, kind, keys, key_train(keys, seed=len(rows) + 1, **kw)))

    k = random_keys(n, 1)
    for d in [-4.5, -3.5, -2.5, -1.5, 0, 1.5, 2.5, 3.5, 4.5]:
        kind = "accept" if abs(d) <= 1.5 else "reject" if abs(d) >= 3.5 else "info"
        add("frequency error (%)", f"both tones {d:+.1f} %", d, kind, k, dev=d / 100)
    for t in [-12, -10, -8, -6, -4, 0, 2, 4, 6, 8]:
        kind = "accept" if -8 <= t <= 4 else "info"
        add("twist (dB, column above row)", f"twist {t:+d} dB", t, kind, k, twist=t)
    for s in [-6, -3, 0, 3, 6, 10, 15, 20]:
        add("per-tone SNR (dB)", f"SNR {s} dB", s, "accept" if s >= 6 else "info", k, snr=s)
    for lv in [-65, -60, -55, -50, -45, -40, -30, -20, -10, 0]:
        kind = "accept" if lv >= -40 else "reject" if lv <= -55 else "info"
        add("level (dBFS)", f"level {lv} dBFS", lv, kind, k, level=lv)
    for ms in [15, 20, 23, 30, 35, 40, 45, 50, 60, 80]:
        kind = "accept" if ms >= 50 else "reject" if ms <= 23 else "info"
        add("tone duration (ms)", f"tones of {ms} ms", ms, kind, k, on_ms=ms)
    for ms in [20, 30, 40, 50, 60]:
        pairs = "".join(c + c for c in k[: n // 2])
        add("pause between equal keys (ms)", f"{ms} ms pause", ms, "accept" if ms >= 40 else "info", pairs,
            on_ms=100, off_ms=ms)
    for ms in [0, 5, 10, 15, 20]:
        add("break inside a 150 ms tone (ms)", f"{ms} ms break", ms, "accept" if ms <= 10 else "info", k,
            on_ms=150, break_ms=ms)
    # Two edges at once: not asked of a receiver, but where the margins show.
    add(None, "50 ms tones, both +1.5 %", None, "info", k, on_ms=50, dev=0.015)
    add(None, "50 ms tones at 6 dB SNR", None, "info", k, on_ms=50, snr=6)
    add(None, "twist -8 dB at 6 dB SNR", None, "info", k, twist=-8, snr=6)
    add(None, "twist +4 dB, both -1.5 %", None, "info", k, twist=4, dev=-0.015)
    return rows


# ---------------------------------------------------------------- talk-off material

def text_corpus():
    texts = []
    for path in ["/usr/share/common-licenses/GPL-3", "/usr/share/common-licenses/Apache-2.0",
                 "/usr/share/common-licenses/MPL-2.0", "/usr/share/common-licenses/Artistic"]:
        if os.path.exists(path):
            with open(path, errors="replace") as f:
                texts.append(" ".join(f.read().split()))
    return " ".join(texts)


def to_rate(path, cache):
    """A sound file as 11025 Hz mono float samples, peak-normalised to -1 dBFS."""
    out = os.path.join(cache, os.path.basename(path) + ".raw")
    subprocess.run(["sox", "-D", path, "-t", "raw", "-r", str(RATE), "-e", "signed", "-b", "16", "-c", "1", out,
                    "gain", "-n", "-1"], check=True, capture_output=True)
    return np.fromfile(out, dtype="<i2").astype(float)


ESPEAK_VOICES = [("en-us", 50), ("en-us+f3", 70), ("en-gb+f4", 85), ("en-us+f5", 99), ("en-gb", 40),
                 ("en-us+m3", 60), ("en-gb-x-rp+f2", 90), ("en-029+f1", 75), ("en-us+klatt4", 65),
                 ("en-gb-scotland+f3", 95)]


def espeak_speech(cache, minutes):
    """Several voices, pitches and rates (140..220 wpm), about `minutes` long."""
    words = text_corpus().split()
    chunk = len(words) // len(ESPEAK_VOICES)
    per_voice = minutes * 60 / len(ESPEAK_VOICES)
    pieces = []
    for i, (voice, pitch) in enumerate(ESPEAK_VOICES):
        rate = 140 + 80 * i // (len(ESPEAK_VOICES) - 1)
        wav = os.path.join(cache, f"espeak-{i}.wav")
        if not os.path.exists(wav):
            text = " ".join(words[i * chunk: i * chunk + int(per_voice * rate / 60 * 1.1)])
            subprocess.run(["espeak-ng", "-v", voice, "-p", str(pitch), "-s", str(rate), "-w", wav, text],
                           check=True, capture_output=True)
        x = to_rate(wav, cache)
        pieces.append(x[: int(per_voice * RATE)])
    return pieces


def festival_speech(cache, minutes):
    """Voices built from recorded speakers (festival), when installed."""
    if not shutil.which("text2wave"):
        return []
    words = text_corpus().split()[::-1]
    voices = [v for v in ["voice_cmu_us_slt_arctic_hts", "voice_kal_diphone"]
              if any(os.path.isdir(os.path.join(d, v[6:])) for d in
                                                    [os.path.join("/usr/share/festival/voices", l) for l in ("us", "english")])]
    pieces = []
    for i, v in enumerate(voices):
        wav = os.path.join(cache, f"festival-{v}.wav")
        if not os.path.exists(wav):
            text = " ".join(words[i * 3000: i * 3000 + int(minutes / len(voices) * 170)])
            subprocess.run(["text2wave", "-eval", f"({v})", "-o", wav], input=text.encode(), check=True,
                           capture_output=True)
        pieces.append(to_rate(wav, cache))
    return pieces


def synthetic_music(minutes, seed=7):
    """Chords, organ, plucks and sweeps: sustained harmonic tones are where a
    tone detector is most easily fooled."""
    rng = np.random.default_rng(seed)
    out, total = [], 0
    while total < minutes * 60 * RATE:
        kind = rng.integers(0, 4)
        dur = rng.uniform(0.3, 2.0)
        n = int(dur * RATE)
        t = np.arange(n) / RATE
        x = np.zeros(n)
        if kind == 3:  # sweep, one or two sines gliding
            for _ in range(rng.integers(1, 3)):
                f0, f1 = rng.uniform(300, 2000, 2)
                x += np.sin(2 * np.pi * (f0 * t + (f1 - f0) * t * t / (2 * dur)))
        else:
            notes = 36 + rng.choice(48, size=rng.integers(1, 5), replace=False)  # C2..B5
            for note in notes:
                f = 440 * 2 ** ((note - 57) / 12)
                harmonics = {0: [1, .5, .33, .25, .2], 1: [1, .8, .6, .4, .3, .2, .1], 2: [1, .6, .3, .15]}[int(kind)]
                env = np.exp(-t * rng.uniform(2, 6)) if kind == 2 else np.minimum(1, t * 30) * np.minimum(1, (dur - t) * 30)
                for h, a in enumerate(harmonics, 1):
                    if f * h < RATE / 2:
                        x += a * env * np.sin(2 * np.pi * f * h * t + rng.uniform(0, 6.3))
        x *= 10 ** (rng.uniform(-20, -3) / 20) * 32767 / max(1e-9, np.max(np.abs(x)))
        out.append(x)
        total += n
    return np.concatenate(out)


def recorded_music(cache, minutes):
    """Recorded orchestral game music (Debian's wesnoth music), when installed."""
    base = "/usr/share/games/wesnoth"
    files = sorted(os.path.join(d, f) for d, _, fs in os.walk(base) for f in fs if f.endswith(".ogg")
                   and "music" in d) if os.path.isdir(base) else []
    pieces, total = [], 0
    for f in files:
        if total >= minutes * 60 * RATE:
            break
        x = to_rate(f, cache)
        pieces.append(x)
        total += len(x)
    return pieces


def dither(minutes, seed=3):
    return np.random.default_rng(seed).integers(-1, 2, int(minutes * 60 * RATE)).astype(float)


# ---------------------------------------------------------------- runs

def score_rows(det, rows, extra=None):
    """[(group, label, x, kind, {detector: (detected %, false keys)})]"""
    results = []
    for group, label, x, kind, keys, samples in rows:
        cells = {}
        for name, got in det.run(samples, extra).items():
            hits = align(keys, got)
            cells[name] = (100.0 * hits / len(keys), len(got) - hits)
        results.append((group, label, x, kind, cells))
    return results


def passed(kind, cell, sent=100):
    detected, false = cell
    if kind == "accept":
        return detected >= 99 and false <= sent / 100
    if kind == "reject":
        return detected + 100.0 * false / sent <= 1
    return None


def talkoff_sets(cache, quick=False):
    m = 0.2 if quick else 1
    sets = [("espeak-ng speech, 10 voices, 140-220 wpm", espeak_speech(cache, 32 * m)),
            ("festival speech (voices from recorded speakers)", festival_speech(cache, 12 * m)),
            ("synthetic chords, organ, plucks, sweeps", [synthetic_music(8 * m)]),
            ("recorded orchestral music (wesnoth)", recorded_music(cache, 36 * m)),
            ("+-1 LSB dither", [dither(10 * m)])]
    return [(name, pieces) for name, pieces in sets if pieces]


def run_talkoff(det, sets, extra=None):
    """[(name, minutes, {detector: false keys})]"""
    out = []
    for name, pieces in sets:
        gap = np.zeros(RATE // 2)
        x = np.concatenate([p for piece in pieces for p in (piece, gap)])
        counts = {k: len(v) for k, v in det.run(x, extra).items()}
        out.append((name, len(x) / RATE / 60, counts))
    return out


ABLATIONS = [("all checks", []),
             ("no frequency check", ["maxDeviation=1"]),
             ("no steadiness check", ["maxDriftHz=1000"]),
             ("no level floor", ["minToneDbfs=-200"]),
             ("no twist limits", ["maxColumnAboveRowDb=40", "maxRowAboveColumnDb=40"]),
             ("no peak purity", ["minPeakAboveRestDb=-40"]),
             ("no duration check", ["minToneMs=0"]),
             ("release on misses only", ["releaseDropDb=40"])]


def ablate(build, cache, sets=None, rows=None):
    det = Detectors(build)
    det.names = ["strict mode"]
    rows = rows or q24_rows()
    sets = sets or talkoff_sets(cache)
    lines = ["| strict mode with | accept rows | reject rows | " + " | ".join(s[0] for s in sets) + " | rows failed |",
             "|---|---|---|" + "---|" * len(sets) + "---|"]
    for label, limits in ABLATIONS:
        extra = [a for l in limits for a in ("--limit", l)]
        res = score_rows(det, rows, extra)
        acc = [r for r in res if r[3] == "accept"]
        rej = [r for r in res if r[3] == "reject"]
        acc_ok = sum(passed("accept", r[4]["strict mode"]) for r in acc)
        rej_ok = sum(passed("reject", r[4]["strict mode"]) for r in rej)
        failed = [r[1] for r in acc + rej if not passed(r[3], r[4]["strict mode"])]
        talk = run_talkoff(det, sets, extra)
        cells = [f"{t[2]['strict mode']}" for t in talk]
        lines.append(f"| {label} | {acc_ok}/{len(acc)} | {rej_ok}/{len(rej)} | " + " | ".join(cells) +
                     f" | {', '.join(failed) or '-'} |")
        print(lines[-1], file=sys.stderr, flush=True)
    return lines



def plot(results, group, names, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    rows = [r for r in results if r[0] == group]
    fig, ax = plt.subplots(figsize=(4.6, 2.9), dpi=72)
    for name, style in zip(names, ["o-", "s-", "^--", "v:"]):
        ax.plot([r[2] for r in rows], [r[4][name][0] for r in rows], style, label=name, markersize=4)
    ax.set_xlabel(group)
    ax.set_ylabel("keys detected (%)")
    ax.set_ylim(-5, 105)
    ax.grid(alpha=0.3)
    ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def report(build, cache, out_md):
    det = Detectors(build)
    names = det.names
    rows = q24_rows()
    results = score_rows(det, rows)
    sets = talkoff_sets(cache)
    talk = run_talkoff(det, sets)
    abl = ablate(build, cache, sets, rows)
    img_dir = os.path.join(os.path.dirname(out_md), "conformance")
    os.makedirs(img_dir, exist_ok=True)

    L = ["# DTMF conformance", "",
         "Generated by `scripts/conformance` (bench/conformance/suite.py); do not edit by hand.", "",
         "Vardell's detector in its two modes, **default mode** (the default: the classifier and its two-block "
         "debounce) and **strict mode** (`--strict`, `KeyEngine(sink, true)`, "
         "`AudioMonitor::SetStrictDetection(true)`), against two independent detectors from Debian: spandsp's "
         "`dtmf_rx` (fed 8000 Hz) and multimon-ng (fed 22050 Hz). Every detector hears the same signals, made at "
         "11025 Hz and resampled with sox.", "",
         "Signals: 100 random keys per row, 100 ms tones and 100 ms pauses, each tone 16 dBFS below full scale "
         "(the pair peaks at -10 dBFS) unless the row varies it. *Level* is the peak of the two tones together "
         "(each tone is 6 dB lower); *twist* is the column (high) tone's level above the row (low) tone's; *SNR* "
         "is one tone's power over white noise across the whole band; *frequency error* shifts both tones the "
         "same way; a *break* silences the middle of a 150 ms tone; the *pause* rows send every key twice; "
         "the last rows combine two edges. "
         "Detected keys are aligned with the sent ones by edit distance: a cell is the share of sent keys "
         "found / the keys reported that were not sent (a key doubled across a break counts as one false key).",
         "", "Rows marked *accept* must give >= 99 % and at most 1 false key per 100; rows marked *reject* at most "
         "1 key per 100; the others show where a detector's edge lies.", ""]
    acc = [r for r in results if r[3] == "accept"]
    rej = [r for r in results if r[3] == "reject"]
    strict_acc = f"{sum(passed('accept', r[4]['strict mode']) for r in acc)} of {len(acc)}"
    strict_rej = f"{sum(passed('reject', r[4]['strict mode']) for r in rej)} of {len(rej)}"
    L += ["## Summary", "", "| | " + " | ".join(names) + " |", "|---|" + "---|" * len(names)]
    L.append("| accept rows passed | " + " | ".join(
        f"{sum(passed('accept', r[4][n]) for r in acc)} / {len(acc)}" for n in names) + " |")
    L.append("| reject rows passed | " + " | ".join(
        f"{sum(passed('reject', r[4][n]) for r in rej)} / {len(rej)}" for n in names) + " |")
    for name, minutes, counts in talk:
        L.append(f"| false keys, {name}, {minutes:.0f} min | " + " | ".join(
            f"{counts[n]} ({counts[n] * 60 / minutes:.1f}/h)" for n in names) + " |")
    L += ["", "## Talk-off material", "",
          "Nothing in it is a key, so every key reported is false. Speech: espeak-ng reading licence texts from "
          "/usr/share/common-licenses in 10 voices (5 of them female, pitch 40..99) at 140..220 words a minute; "
          "festival's HTS voice cmu_us_slt_arctic (female) and its diphone voice kal, both built from recorded "
          "speakers. Music: chords, organ tones, plucked notes and sweeps synthesised here; the recorded "
          "orchestral soundtrack of Debian's wesnoth-1.16-music. Each piece is normalised to a peak of -1 dBFS "
          "(speech and music this loud are the hard case: the level floor cannot help). Dither: +-1 LSB of "
          "random samples.", ""]
    L += ["## All rows", "", "| row | | " + " | ".join(names) + " |", "|---|---|" + "---|" * len(names)]
    for group, label, x, kind, cells in results:
        def cell(n):
            ok = passed(kind, cells[n])
            mark = "" if ok is None else (" ✓" if ok else " ✗")
            return f"{cells[n][0]:.0f} / {cells[n][1]}{mark}"
        L.append(f"| {label} | {kind if kind != 'info' else ''} | " + " | ".join(cell(n) for n in names) + " |")
    L += ["", "## Plots", ""]
    for i, group in enumerate(g for g in dict.fromkeys(r[0] for r in results) if g):
        png = f"conformance/{i + 1}.png"
        plot(results, group, names, os.path.join(os.path.dirname(out_md), png))
        L.append(f"![{group}]({png})")
    L += ["", "## What each strict check buys", "",
          "Strict mode with one of its checks relaxed, on the same rows and material (talk-off columns in "
          "the order of the summary).", ""] + abl + ["",
          "## Reading the results", "",
          "Default mode is the most tolerant receiver here: it keeps decoding far below the SNR where spandsp stops, "
          "at any twist and far below -55 dBFS, but it has no notion of frequency error beyond its 43 Hz bins "
          "(it accepts many keys 3.5 % off), doubles keys across short breaks, and reports keys in speech and "
          f"music. Strict mode passes {strict_acc} accept rows and {strict_rej} reject rows, at the price of the "
          "tolerance the default mode has beyond them (no keys below about 0 dB per-tone SNR, beyond +6/-10 dB "
          "twist or below -50 dBFS). Both modes need about 45 ms of tone for a key (two 256-sample blocks at "
          "11025 Hz), so 35..45 ms tones are missed by both where spandsp and multimon-ng find them."]
    with open(out_md, "w") as f:
        f.write("\n".join(L) + "\n")

if __name__ == "__main__":
    cmd = sys.argv[1] if len(sys.argv) > 1 else ""
    build = sys.argv[2] if len(sys.argv) > 2 else "build"
    cache = os.path.join(build, "conformance-cache")
    os.makedirs(cache, exist_ok=True)
    if cmd == "rows":
        det = Detectors(build)
        for group, label, x, kind, cells in score_rows(det, q24_rows()):
            print(f"{label:28s} {kind:6s} " + "  ".join(f"{n}: {c[0]:5.1f}/{c[1]:<3d}" for n, c in cells.items()))
    elif cmd == "talkoff":
        det = Detectors(build)
        for name, minutes, counts in run_talkoff(det, talkoff_sets(cache, quick="--quick" in sys.argv)):
            print(f"{name} ({minutes:.1f} min): {counts}")
    elif cmd == "ablate":
        print("\n".join(ablate(build, cache)))
    elif cmd == "report" and len(sys.argv) > 3:
        report(build, cache, sys.argv[3])
    else:
        sys.exit(__doc__)
