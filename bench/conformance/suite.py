#!/usr/bin/python3
"""DTMF conformance suite: Q.24-style test signals, keys over recorded speech
(talk-down), keys through phone codecs, talk-off material, and a runner that
scores every detector on the same sound.

Signals are made at 11025 Hz and resampled (sox) for the detectors that want
another rate: spandsp reads 8000 Hz, multimon-ng 22050 Hz. Where the sound is
8000 Hz (the codecs, `rows --rate 8000`), every detector is fed from it, and
Vardell through `vardell decode --keys` as users feed it. Detected keys are
aligned with the sent ones by edit distance; a cell is the share of sent keys
detected and the count of keys that were not sent.

    suite.py report BUILD_DIR OUT_MD        the full run, writes the report and plots
    suite.py ablate BUILD_DIR [--quick]     what each strict check buys
    suite.py rows BUILD_DIR [--rate 8000]   the signal rows alone, printed
    suite.py talkoff BUILD_DIR [--quick]    the talk-off material alone, printed
    suite.py talkdown BUILD_DIR [--quick]   keys over recorded speech, printed
    suite.py codecs BUILD_DIR [--quick]     keys through the codecs, printed
    suite.py smoke BUILD_DIR                a run of well under a minute that fails on a gross regression
"""
import atexit
import io
import os
import shutil
import subprocess
import sys
import tempfile
import wave

import numpy as np

import material

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
    def __init__(self, build, peers=True):
        self.keys = os.path.join(build, "bin", "dtmf_keys")
        self.vardell = os.path.join(build, "bin", "vardell")
        self.tmp = tempfile.mkdtemp(prefix="dtmf-conf-")
        atexit.register(shutil.rmtree, self.tmp, True)
        self.names = ["default mode", "strict mode"]
        self.spandsp = None
        if peers and any(os.path.exists(p) for p in ["/usr/include/x86_64-linux-gnu/spandsp.h",
                                                      "/usr/include/spandsp.h"]):
            self.spandsp = os.path.join(self.tmp, "spandsp_keys")
            subprocess.run(["cc", "-O2", "-o", self.spandsp, os.path.join(ROOT, "spandsp_keys.c"), "-lspandsp"],
                           check=True)
            self.names.append("spandsp")
        self.multimon = shutil.which("multimon-ng") if peers else None
        if self.multimon:
            self.names.append("multimon-ng")

    @staticmethod
    def resample(raw, rate, to):
        if rate == to:
            return raw
        # -D: sox dithers by default, which would make every run's sound differ.
        return subprocess.run(["sox", "-D", "-t", "raw", "-r", str(rate), "-e", "signed", "-b", "16", "-c", "1", "-",
                               "-t", "raw", "-r", str(to), "-e", "signed", "-b", "16", "-c", "1", "-"],
                              input=raw, capture_output=True, check=True).stdout

    @staticmethod
    def wav(raw, rate):
        f = io.BytesIO()
        with wave.open(f, "wb") as w:
            w.setnchannels(1), w.setsampwidth(2), w.setframerate(rate)
            w.writeframes(raw)
        return f.getvalue()

    def run(self, samples, extra=None, rate=RATE):
        """{detector: detected keys} for int16 samples at `rate`. At 11025 Hz
        Vardell's modes read the samples as they are (dtmf_keys); at another rate
        through `vardell decode`, or, with strict limits to set (extra), resampled
        by sox for dtmf_keys."""
        raw = pcm(samples).tobytes()
        out = {}
        for name in self.names:
            if name in ("default mode", "strict mode"):
                strict = ["--strict"] if name == "strict mode" else []
                if rate == RATE or extra:
                    cmd, data = [self.keys] + strict + (extra or []), self.resample(raw, rate, RATE)
                else:
                    cmd, data = [self.vardell, "decode", "--keys"] + strict + ["-"], self.wav(raw, rate)
            elif name == "spandsp":
                cmd, data = [self.spandsp], self.resample(raw, rate, 8000)
            else:
                cmd, data = [self.multimon, "-q", "-c", "-a", "DTMF", "-t", "raw", "-"], self.resample(raw, rate, 22050)
            text = subprocess.run(cmd, input=data, capture_output=True, check=True).stdout.decode()
            if name == "multimon-ng":
                text = "".join(l.split(":")[1].strip() for l in text.splitlines() if l.startswith("DTMF:"))
            out[name] = "".join(text.split())
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


# ---------------------------------------------------------------- talk-down

TALKDOWN_RATIOS = [15, 10, 5, 0, -5]
TALKDOWN_TONE_DBFS = -20  # each tone's amplitude; the speech is scaled to the ratio


def active_rms(x):
    """RMS of speech while it is active: over its 20 ms frames within 40 dB of the loudest."""
    n = RATE // 50
    e = (x[: len(x) // n * n].reshape(-1, n) ** 2).mean(axis=1)
    return np.sqrt(e[e >= e.max() * 1e-4].mean())


def talkdown_signal(speech, ratio, n, seed):
    """n random keys (100 ms tones, 250..600 ms apart) laid over a stretch of
    speech scaled so that one tone's RMS is `ratio` dB above the stretch's active RMS."""
    rng = np.random.default_rng(seed)
    keys = random_keys(n, seed)
    amp = 10 ** (TALKDOWN_TONE_DBFS / 20) * 32767
    parts = [np.zeros(int(0.3 * RATE))]
    for k in keys:
        parts += [np.zeros(int(rng.uniform(0.15, 0.5) * RATE)), tone_pair(k, 100, level=TALKDOWN_TONE_DBFS + 6.0206, rng=rng)]
    tones = np.concatenate(parts + [np.zeros(int(0.3 * RATE))])
    start = int(rng.integers(0, max(1, len(speech) - len(tones))))
    stretch = np.resize(speech[start:], len(tones))
    stretch = stretch * (amp / np.sqrt(2) / 10 ** (ratio / 20) / active_rms(stretch))
    return keys, tones + stretch


def talkdown_sets(cache, quick=False):
    """[(name, part, speech)]: recorded speech, plus espeak-ng's when no recording is installed."""
    sets = [(name, part, x) for name, _, part, x in material.recorded_sets(cache, 0.2 if quick else 1, "speech")]
    if quick:
        sets = [s for s in sets if s[1] == "tune"][:1] + [s for s in sets if s[1] == "held out"][:1]
    return sets or [("espeak-ng speech", "tune", np.concatenate(material.espeak_speech(cache, 2)))]


def run_talkdown(det, sets, ratios=TALKDOWN_RATIOS, n=100, extra=None):
    """{(part, ratio): {detector: (found %, false keys)}} over every set of a part, and per set."""
    sums = {}
    for si, (name, part, speech) in enumerate(sets):
        for ratio in ratios:
            keys, x = talkdown_signal(speech, ratio, n, seed=100 * si + ratio + 50)
            for d, got in det.run(x, extra).items():
                hits = align(keys, got)
                for group in (part, name):
                    s = sums.setdefault((group, ratio), {}).setdefault(d, [0, 0, 0])
                    s[0] += hits
                    s[1] += len(keys)
                    s[2] += len(got) - hits
    return {g: {d: (100.0 * h / k, f) for d, (h, k, f) in cells.items()} for g, cells in sums.items()}


# ---------------------------------------------------------------- codecs

# (name, file extension, ffmpeg encoder options). Each encodes the 8000 Hz
# signal; the decoder's output is resampled back to 8000 Hz.
CODECS = [("G.711 µ-law", "wav", ["-c:a", "pcm_mulaw"]),
          ("G.711 A-law", "wav", ["-c:a", "pcm_alaw"])] + \
         [(f"G.726 {b}k", "wav", ["-c:a", "g726", "-b:a", f"{b}k"]) for b in (16, 24, 32, 40)] + \
         [("G.722", "wav", ["-ar", "16000", "-c:a", "g722"])] + \
         [(f"Opus {b}k", "ogg", ["-c:a", "libopus", "-application", "voip", "-b:a", f"{b}k"]) for b in (8, 12, 16, 24)] + \
         [("MP3 16k", "mp3", ["-c:a", "libmp3lame", "-b:a", "16k"]),
          ("GSM 06.10", "gsm", ["-c:a", "libgsm"]),
          ("G.723.1 6.3k", "wav", ["-c:a", "g723_1", "-b:a", "6300"]),
          ("Speex 8k", "ogg", ["-c:a", "libspeex", "-b:a", "8k"]),
          ("codec2 3200", "c2", ["-c:a", "libcodec2", "-mode", "3200"])]
CODEC_NOISE_DBFS = -50  # RMS of the white line noise under the keys


def codec_signal(n, seed):
    """n random keys, 100 ms tones and pauses, the louder tone at -25..-8 dBFS, the
    other up to 4 dB lower (twist +-4 dB), over white line noise; at 8000 Hz."""
    rng = np.random.default_rng(seed)
    keys = random_keys(n, seed)
    parts = [np.zeros(int(0.2 * RATE))]
    for k in keys:
        parts += [tone_pair(k, 100, level=rng.uniform(-25, -8) + 6.0206, twist=rng.uniform(-4, 4), rng=rng),
                  np.zeros(int(0.1 * RATE))]
    x = np.concatenate(parts + [np.zeros(int(0.2 * RATE))])
    x += rng.normal(0, 10 ** (CODEC_NOISE_DBFS / 20) * 32767, len(x))
    raw = Detectors.resample(pcm(x).tobytes(), RATE, 8000)
    return keys, np.frombuffer(raw, dtype="<i2")


def through_codec(det, samples, ext, options):
    """8000 Hz samples encoded and decoded by ffmpeg."""
    src, enc = os.path.join(det.tmp, "codec-in.wav"), os.path.join(det.tmp, "codec." + ext)
    with open(src, "wb") as f:
        f.write(Detectors.wav(pcm(samples).tobytes(), 8000))
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", src] + options + [enc], check=True)
    out = subprocess.run(["ffmpeg", "-v", "error", "-i", enc, "-ac", "1", "-ar", "8000", "-f", "s16le", "-"],
                         capture_output=True, check=True).stdout
    return np.frombuffer(out, dtype="<i2")


def run_codecs(det, codecs=CODECS, n=320, extra=None):
    """[(codec, {detector: (found %, false keys)})]"""
    keys, x = codec_signal(n, seed=17)
    out = []
    for name, ext, options in codecs:
        got = det.run(through_codec(det, x, ext, options), extra, rate=8000)
        out.append((name, {d: (100.0 * align(keys, g) / n, len(g) - align(keys, g)) for d, g in got.items()}))
    return out


# ---------------------------------------------------------------- runs

def score_rows(det, rows, extra=None, rate=RATE):
    """[(group, label, x, kind, {detector: (detected %, false keys)})]"""
    results = []
    for group, label, x, kind, keys, samples in rows:
        if rate != RATE:
            samples = np.frombuffer(Detectors.resample(pcm(samples).tobytes(), RATE, rate), dtype="<i2")
        cells = {}
        for name, got in det.run(samples, extra, rate).items():
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
    """[(name, part, [pieces])]"""
    m = 0.2 if quick else 1
    sets = [("espeak-ng speech, 10 voices, 140-220 wpm", "tune", material.espeak_speech(cache, 32 * m)),
            ("festival speech (voices from recorded speakers)", "tune", material.festival_speech(cache, 12 * m))]
    sets += [(name, part, [x]) for name, _, part, x in material.recorded_sets(cache, m)]
    sets += [("synthetic chords, organ, plucks, sweeps", "tune", [material.synthetic_music(8 * m)]),
             ("+-1 LSB dither", "tune", [material.dither(10 * m)])]
    return [s for s in sets if s[2]]


def run_talkoff(det, sets, extra=None):
    """[(name, part, minutes, {detector: false keys})]"""
    out = []
    for name, part, pieces in sets:
        gap = np.zeros(RATE // 2)
        x = np.concatenate([p for piece in pieces for p in (piece, gap)])
        counts = {k: len(v) for k, v in det.run(x, extra).items()}
        out.append((name, part, len(x) / RATE / 60, counts))
    return out


# ---------------------------------------------------------------- ablation

# A clarity margin is taken out by holding it at -10 dB and lowering the
# threshold by what its cap gave in each of the two blocks: as if it always
# scored full marks.
ABLATIONS = [("all checks", []),
             ("no frequency check", ["maxDeviation=1"]),
             ("no steadiness check", ["maxDriftHz=1000"]),
             ("no level floor", ["minToneDbfs=-200"]),
             ("no twist limits", ["maxColumnAboveRowDb=40", "maxRowAboveColumnDb=40"]),
             ("no clarity score", ["minClarityDb=-1000"]),
             ("no neighbour margin", ["neighbourCapDb=-10", "minClarityDb=30"]),
             ("no band margin", ["bandCapDb=-10", "minClarityDb=50"]),
             ("no harmonic margin", ["harmonicCapDb=-10", "minClarityDb=20"]),
             ("no rise check", ["minRiseDb=-100"]),
             ("no duration check", ["minToneMs=0"]),
             ("release on misses only", ["releaseDropDb=40"])]
ABLATION_CODECS = ["GSM 06.10", "G.723.1 6.3k", "Opus 8k", "Speex 8k"]


def ablate(build, cache, quick=False, sets=None, rows=None, speech=None, ablations=ABLATIONS):
    det = Detectors(build, peers=False)
    det.names = ["strict mode"]
    rows = rows or q24_rows()
    sets = sets or talkoff_sets(cache, quick)
    speech = speech or talkdown_sets(cache, quick)
    codecs = [c for c in CODECS if c[0] in ABLATION_CODECS]
    talk_cols = [f"{s[0]} ({s[1]})" for s in sets]
    lines = ["| strict mode with | accept rows | reject rows | talk-down +10 / +5 / 0 dB, tuned on | held out | "
             + " | ".join(c[0] for c in codecs) + " | talk-off: " + " | ".join(talk_cols) + " | rows failed |",
             "|---|---|---|---|---|" + "---|" * len(codecs) + "---|" * len(sets) + "---|"]
    for label, limits in ablations:
        extra = [a for l in limits for a in ("--limit", l)]
        res = score_rows(det, rows, extra)
        acc = [r for r in res if r[3] == "accept"]
        rej = [r for r in res if r[3] == "reject"]
        acc_ok = sum(passed("accept", r[4]["strict mode"]) for r in acc)
        rej_ok = sum(passed("reject", r[4]["strict mode"]) for r in rej)
        failed = [r[1] for r in acc + rej if not passed(r[3], r[4]["strict mode"])]
        down = run_talkdown(det, speech, [10, 5, 0], extra=extra)
        down_cells = [" / ".join(f"{down[(p, r)]['strict mode'][0]:.0f}" if (p, r) in down else "-" for r in (10, 5, 0))
                      for p in ("tune", "held out")]
        codec_cells = [f"{c['strict mode'][0]:.1f} / {c['strict mode'][1]}" for _, c in run_codecs(det, codecs, extra=extra)]
        talk = [f"{t[3]['strict mode']}" for t in run_talkoff(det, sets, extra)]
        lines.append(f"| {label} | {acc_ok}/{len(acc)} | {rej_ok}/{len(rej)} | " + " | ".join(down_cells + codec_cells + talk)
                     + f" | {', '.join(failed) or '-'} |")
        print(lines[-1], file=sys.stderr, flush=True)
    return lines


# ---------------------------------------------------------------- report

STYLES = ["o-", "s-", "^--", "v:"]


def figure():
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def plot(results, group, names, path):
    plt = figure()
    rows = [r for r in results if r[0] == group]
    fig, ax = plt.subplots(figsize=(4.6, 2.9), dpi=72)
    for name, style in zip(names, STYLES):
        ax.plot([r[2] for r in rows], [r[4][name][0] for r in rows], style, label=name, markersize=4)
    ax.set_xlabel(group)
    ax.set_ylabel("keys detected (%)")
    ax.set_ylim(-5, 105)
    ax.grid(alpha=0.3)
    ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def plot_talkdown(down, names, path):
    plt = figure()
    fig, axes = plt.subplots(1, 2, figsize=(7.6, 2.9), dpi=72, sharey=True)
    for ax, part in zip(axes, ("tune", "held out")):
        for name, style in zip(names, STYLES):
            pts = [(r, down[(part, r)][name][0]) for r in TALKDOWN_RATIOS if (part, r) in down]
            ax.plot([p[0] for p in pts], [p[1] for p in pts], style, label=name, markersize=4)
        ax.set_title(f"speech {'tuned on' if part == 'tune' else 'held out'}", fontsize=9)
        ax.set_xlabel("tone-to-speech ratio (dB)")
        ax.invert_xaxis()
        ax.set_ylim(-5, 105)
        ax.grid(alpha=0.3)
    axes[0].set_ylabel("keys detected (%)")
    axes[1].legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def plot_codecs(codecs, names, path):
    plt = figure()
    fig, ax = plt.subplots(figsize=(7.6, 3.1), dpi=72)
    width = 0.8 / len(names)
    for i, name in enumerate(names):
        ax.bar(np.arange(len(codecs)) + (i - (len(names) - 1) / 2) * width, [c[1][name][0] for c in codecs], width,
               label=name)
    ax.set_xticks(np.arange(len(codecs)), [c[0] for c in codecs], rotation=45, ha="right", fontsize=7)
    ax.set_ylabel("keys detected (%)")
    ax.set_ylim(0, 105)
    ax.grid(alpha=0.3, axis="y")
    ax.legend(fontsize=7, loc="lower left")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def talkdown_table(down, names, groups):
    L = ["| speech | " + " | ".join(f"{r:+d} dB" for r in TALKDOWN_RATIOS) + " |",
         "|---|" + "---|" * len(TALKDOWN_RATIOS)]
    for g in groups:
        for n in names:
            L.append(f"| {g}, {n} | " + " | ".join(
                f"{down[(g, r)][n][0]:.1f} / {down[(g, r)][n][1]}" for r in TALKDOWN_RATIOS) + " |")
    return L


def report(build, cache, out_md):
    det = Detectors(build)
    names = det.names
    rows = q24_rows()
    results = score_rows(det, rows)
    results8k = score_rows(det, rows, rate=8000)
    speech = talkdown_sets(cache)
    down = run_talkdown(det, speech)
    codecs = run_codecs(det)
    sets = talkoff_sets(cache)
    talk = run_talkoff(det, sets)
    abl = ablate(build, cache, sets=sets, rows=rows, speech=speech)
    out_dir = os.path.dirname(out_md)
    os.makedirs(os.path.join(out_dir, "conformance"), exist_ok=True)

    def rows_passed(res, kind, n):
        sel = [r for r in res if r[3] == kind]
        return f"{sum(passed(kind, r[4][n]) for r in sel)} / {len(sel)}"

    L = ["# DTMF conformance", "",
         "Generated by `scripts/conformance` (bench/conformance/suite.py); do not edit by hand.", "",
         "Vardell's detector in its two modes, **default mode** (the default: the classifier and its two-block "
         "debounce) and **strict mode** (`--strict`, `KeyEngine(sink, true)`, "
         "`AudioMonitor::SetStrictDetection(true)`), against two independent detectors from Debian: spandsp's "
         "`dtmf_rx` (fed 8000 Hz) and multimon-ng (fed 22050 Hz). Every detector hears the same signals, made at "
         "11025 Hz and resampled with sox; where the sound is 8000 Hz (the codecs, the 8 kHz rows) every detector "
         "is fed from it, and Vardell through `vardell decode --keys`, its own resampler, as a user feeds it.", "",
         "Signals: 100 random keys per row, 100 ms tones and 100 ms pauses, each tone 16 dBFS below full scale "
         "(the pair peaks at -10 dBFS) unless the row varies it. *Level* is the peak of the two tones together "
         "(each tone is 6 dB lower); *twist* is the column (high) tone's level above the row (low) tone's; *SNR* "
         "is one tone's power over white noise across the whole band; *frequency error* shifts both tones the "
         "same way; a *break* silences the middle of a 150 ms tone; the *pause* rows send every key twice; "
         "the last rows combine two edges. "
         "Detected keys are aligned with the sent ones by edit distance: a cell is the share of sent keys "
         "found / the keys reported that were not sent (a key doubled across a break counts as one false key).",
         "", "Rows marked *accept* must give >= 99 % and at most 1 false key per 100; rows marked *reject* at most "
         "1 key per 100; the others show where a detector's edge lies.", "",
         "**Tuned on and held out.** Strict mode's limits were chosen on part of the material (*tune*); the rest "
         "(*held out*) shows how they carry to sound they were not chosen on. The held-out speech was measured "
         "while choosing between near designs but never looked into. Two sets began held out and were looked "
         "into after they had shown false keys, so they count as tuned on: the hyperrogue music (6 false keys in "
         "its 23 min under an early version of the checks, which set the 1.7 % frequency tolerance and the rise check) and the Czech dialogue "
         "(1 false key in 30 min at first, which raised the rise limit from 6 to 9 dB; talk-down over it was "
         "then 100 / 98 / 90 % at +10 / +5 / 0 dB). The singularity and drascula music were first measured with "
         "the design all but final (1 and 0 false keys in 40 min each), and not looked into.", ""]
    L += ["## Summary", "", "| | " + " | ".join(names) + " |", "|---|" + "---|" * len(names)]
    for kind in ("accept", "reject"):
        L.append(f"| {kind} rows passed | " + " | ".join(rows_passed(results, kind, n) for n in names) + " |")
        L.append(f"| {kind} rows passed, fed 8000 Hz | " + " | ".join(rows_passed(results8k, kind, n) for n in names)
                 + " |")
    for part in ("tune", "held out"):
        for r in (10, 5, 0):
            if (part, r) in down:
                L.append(f"| talk-down {r:+d} dB, speech {'tuned on' if part == 'tune' else 'held out'} (keys %) | "
                         + " | ".join(f"{down[(part, r)][n][0]:.1f}" for n in names) + " |")
    for name, cells in codecs:
        L.append(f"| {name} (keys % / false) | " + " | ".join(f"{cells[n][0]:.1f} / {cells[n][1]}" for n in names)
                 + " |")
    for name, part, minutes, counts in talk:
        L.append(f"| false keys, {name}{', held out' if part != 'tune' else ''}, {minutes:.0f} min | " + " | ".join(
            f"{counts[n]} ({counts[n] * 60 / minutes:.1f}/h)" for n in names) + " |")

    L += ["", "## Talk-down: keys over recorded speech", "",
          f"Keys typed while someone talks: random keys, 100 ms tones 250..600 ms apart (each tone's amplitude "
          f"{TALKDOWN_TONE_DBFS} dBFS), laid over recorded speech scaled so that the *ratio* holds. Ratio = the RMS of "
          "one tone (its amplitude / sqrt 2) against the RMS of the speech over the stretch under the keys, taken "
          "over the speech's active 20 ms frames only (those within 40 dB of the stretch's loudest frame), so that "
          "pauses do not flatter it. Each recorded file is normalised to a -1 dBFS peak and trimmed of its leading "
          "and trailing silence before the files are joined. 100 keys per set and ratio; a cell is keys found % / "
          "keys reported that were not sent.", "",
          "Speech tuned on: " + "; ".join(s[0] for s in speech if s[1] == "tune") + ". Held out: "
          + "; ".join(s[0] for s in speech if s[1] == "held out") + ".", "",
          "![talk-down](conformance/talkdown.png)", ""]
    L += talkdown_table(down, names, [p for p in ("tune", "held out") if (p, 0) in down])
    L += ["", "Per set (strict mode / default mode, keys found %):", "",
          "| speech | part | " + " | ".join(f"{r:+d} dB" for r in TALKDOWN_RATIOS) + " |",
          "|---|---|" + "---|" * len(TALKDOWN_RATIOS)]
    for name, part, _ in speech:
        L.append(f"| {name} | {part} | " + " | ".join(
            f"{down[(name, r)]['strict mode'][0]:.0f} / {down[(name, r)]['default mode'][0]:.0f}"
            for r in TALKDOWN_RATIOS) + " |")

    L += ["", "## Codecs", "",
          f"320 random keys, 100 ms tones and pauses, the louder tone of each key at a random -25..-8 dBFS and the "
          f"other up to 4 dB lower (twist +-4 dB either way), over white line noise at {CODEC_NOISE_DBFS} dBFS RMS; "
          "made at 11025 Hz, resampled to 8000 Hz with sox, encoded and decoded with Debian's ffmpeg (G.722 at "
          "16000 Hz), and fed to every detector at 8000 Hz. A cell is keys found % / keys reported that were not "
          "sent.", "", "![codecs](conformance/codecs.png)", "",
          "| codec | " + " | ".join(names) + " |", "|---|" + "---|" * len(names)]
    for name, cells in codecs:
        L.append(f"| {name} | " + " | ".join(f"{cells[n][0]:.1f} / {cells[n][1]}" for n in names) + " |")
    L += ["", "codec2 is a vocoder: it does not carry the waveform but a pitch, a voicing decision and a spectral "
          "envelope per 20 ms frame, and resynthesises a single harmonic series on that pitch. Two tones that are "
          "not harmonics of one fundamental (697 and 1209 Hz are not) come out as the harmonics nearest them, at "
          "other frequencies and with other levels, so no detector that checks the tones' frequencies can find "
          "them, and one that does not would also hear keys in speech."]

    L += ["", "## Talk-off material", "",
          "Nothing in it is a key, so every key reported is false. Synthesised speech: espeak-ng reading licence "
          "texts from /usr/share/common-licenses in 10 voices (5 of them female, pitch 40..99) at 140..220 words "
          "a minute; festival's HTS voice cmu_us_slt_arctic (female) and its diphone voice kal. Recorded speech: "
          "telephone prompts from Debian's asterisk sound packages (six speakers, five languages), acted game "
          "dialogue (fillets-ng, Dutch, several actors) and spoken words in over 20 languages (ktuberling). "
          "Recorded music: an orchestral soundtrack (wesnoth), music on hold (asterisk's opsound: pop, jazz, "
          "electronic), an electronic game soundtrack (warzone2100) and game music of many kinds (hyperrogue). "
          "Synthetic music: chords, organ tones, plucked notes and sweeps. Each file is normalised to a peak of "
          "-1 dBFS (speech and music this loud are the hard case: the level floor cannot help). Dither: +-1 LSB "
          "of random samples.", ""]
    L += ["## All rows", "", "Fed 11025 Hz / fed 8000 Hz (sox), each as found % / false keys.", "",
          "| row | | " + " | ".join(names) + " |", "|---|---|" + "---|" * len(names)]
    for (group, label, x, kind, cells), (_, _, _, _, cells8) in zip(results, results8k):
        def cell(n):
            ok, ok8 = passed(kind, cells[n]), passed(kind, cells8[n])
            mark = lambda o: "" if o is None else (" ✓" if o else " ✗")
            return f"{cells[n][0]:.0f} / {cells[n][1]}{mark(ok)}; {cells8[n][0]:.0f} / {cells8[n][1]}{mark(ok8)}"
        L.append(f"| {label} | {kind if kind != 'info' else ''} | " + " | ".join(cell(n) for n in names) + " |")
    L += ["", "## Plots", ""]
    for i, group in enumerate(g for g in dict.fromkeys(r[0] for r in results) if g):
        png = f"conformance/{i + 1}.png"
        plot(results, group, names, os.path.join(out_dir, png))
        L.append(f"![{group}]({png})")
    plot_talkdown(down, names, os.path.join(out_dir, "conformance/talkdown.png"))
    plot_codecs(codecs, names, os.path.join(out_dir, "conformance/codecs.png"))
    L += ["", "## What each strict check buys", "",
          "Strict mode with one of its checks relaxed, on the same rows and material (the codec columns fed to "
          "dtmf_keys after sox resamples the decoded sound to 11025 Hz, since only it takes the limits). A clarity "
          "margin is taken out by letting it always score its cap.", ""] + abl

    def false_per_hour(kind_words, n):
        sel = [t for t in talk if any(w in t[0] for w in kind_words)]
        return sum(t[3][n] for t in sel), sum(t[2] for t in sel)

    speech_false, speech_min = false_per_hour(["speech", "prompts", "dialogue", "words"], "strict mode")
    music_false, music_min = false_per_hour(["music", "soundtrack"], "strict mode")
    others = [c[1]["strict mode"] for c in codecs if c[0] != "codec2 3200"]
    L += ["", "## Reading the results", "",
          "Default mode is the most tolerant receiver here: it keeps decoding far below the SNR where spandsp "
          "stops, at any twist and far below -55 dBFS, and it hears keys over speech best of all, but it has no "
          "notion of frequency error beyond its 43 Hz bins, doubles keys across short breaks, and reports keys in "
          "speech and music. "
          f"Strict mode passes {rows_passed(results, 'accept', 'strict mode')} accept rows and "
          f"{rows_passed(results, 'reject', 'strict mode')} reject rows; over recorded speech it finds "
          + ", ".join(f"{down[('tune', r)]['strict mode'][0]:.0f} % (held out {down[('held out', r)]['strict mode'][0]:.0f} %)"
                      f" at {r:+d} dB" for r in (10, 5, 0) if ('held out', r) in down)
          + f"; through every codec but codec2 it finds at least {min(c[0] for c in others):.1f} % of the keys, "
          f"with {sum(c[1] for c in others)} false keys in all; and it reports {speech_false} false keys in "
          f"{speech_min:.0f} min of speech and {music_false} in {music_min:.0f} min of recorded music "
          f"({music_false * 60 / max(music_min, 1):.1f} per hour). Both modes need "
          "about 45 ms of tone for a key (two 256-sample blocks at 11025 Hz), so 35..45 ms tones are missed by "
          "both where spandsp and multimon-ng find them."]
    with open(out_md, "w") as f:
        f.write("\n".join(L) + "\n")


# ---------------------------------------------------------------- smoke

def smoke(build, cache):
    """A few rows, a little speech and music, one codec (sox's GSM), Vardell's
    modes alone; fails loudly on a gross regression, with wide margins so
    that it never fails by chance."""
    det = Detectors(build, peers=False)
    failures = []

    def check(what, value, ok):
        print(f"{what}: {value}")
        if not ok:
            failures.append(what)

    rows = [r for r in q24_rows(40) if r[1] in ("both tones +0.0 %", "twist -8 dB", "SNR 6 dB", "tones of 50 ms",
                                                 "10 ms break", "both tones +3.5 %", "tones of 23 ms",
                                                 "level -60 dBFS")]
    for group, label, x, kind, cells in score_rows(det, rows):
        for n, (found, false) in cells.items():
            # The default mode doubles keys across a break, by its design.
            if kind == "accept" and (n == "strict mode" or "break" not in label):
                check(f"{n}, {label}", f"{found:.0f} % / {false}", found >= 95 and false <= 2)
            elif kind == "reject" and n == "strict mode":
                check(f"{n}, {label}", f"{found:.0f} % / {false}", found + 100 * false / 40 <= 5)
    speech = np.concatenate(material.espeak_speech(cache, 2))
    for ratio in (10, 0):
        keys, x = talkdown_signal(speech, ratio, 40, seed=ratio + 7)
        for n, got in det.run(x).items():
            check(f"{n}, 40 keys over espeak-ng speech at {ratio:+d} dB", f"{100 * align(keys, got) / 40:.0f} %",
                  align(keys, got) >= (36 if ratio > 0 else 28))
    keys, x = codec_signal(60, seed=5)
    gsm = subprocess.run(["sox", "-D", "-t", "raw", "-r", "8000", "-e", "signed", "-b", "16", "-c", "1", "-",
                          "-t", "gsm", "-"], input=pcm(x).tobytes(), capture_output=True, check=True).stdout
    back = subprocess.run(["sox", "-D", "-t", "gsm", "-r", "8000", "-", "-t", "raw", "-e", "signed", "-b", "16", "-"],
                          input=gsm, capture_output=True, check=True).stdout
    for n, got in det.run(np.frombuffer(back, dtype="<i2"), rate=8000).items():
        check(f"{n}, 60 keys through GSM 06.10", f"{100 * align(keys, got) / 60:.0f} % / {len(got) - align(keys, got)}",
              align(keys, got) >= 56 and len(got) - align(keys, got) <= 2)
    quiet = np.concatenate(material.espeak_speech(cache, 2) + [material.synthetic_music(1), material.dither(1)])
    strict = det.run(quiet)["strict mode"]
    check("strict mode, false keys in 2 min of espeak-ng speech, 1 of synthetic music, 1 of dither", len(strict),
          len(strict) <= 3)
    if failures:
        sys.exit("smoke run FAILED: " + "; ".join(failures))
    print("smoke run passed")


if __name__ == "__main__":
    cmd = sys.argv[1] if len(sys.argv) > 1 else ""
    build = sys.argv[2] if len(sys.argv) > 2 else "build"
    quick = "--quick" in sys.argv
    cache = os.path.join(build, "conformance-cache")
    os.makedirs(cache, exist_ok=True)
    if cmd == "rows":
        rate = int(sys.argv[sys.argv.index("--rate") + 1]) if "--rate" in sys.argv else RATE
        for group, label, x, kind, cells in score_rows(Detectors(build), q24_rows(), rate=rate):
            print(f"{label:28s} {kind:6s} " + "  ".join(f"{n}: {c[0]:5.1f}/{c[1]:<3d}" for n, c in cells.items()))
    elif cmd == "talkoff":
        for name, part, minutes, counts in run_talkoff(Detectors(build), talkoff_sets(cache, quick)):
            print(f"{name} [{part}] ({minutes:.1f} min): {counts}")
    elif cmd == "talkdown":
        det = Detectors(build)
        speech = talkdown_sets(cache, quick)
        down = run_talkdown(det, speech)
        print("\n".join(talkdown_table(down, det.names, [p for p in ("tune", "held out") if (p, 0) in down]
                                       + [s[0] for s in speech])))
    elif cmd == "codecs":
        for name, cells in run_codecs(Detectors(build), n=100 if quick else 320):
            print(f"{name:14s} " + "  ".join(f"{n}: {c[0]:5.1f}/{c[1]:<3d}" for n, c in cells.items()))
    elif cmd == "ablate":
        print("\n".join(ablate(build, cache, quick)))
    elif cmd == "smoke":
        smoke(build, cache)
    elif cmd == "report" and len(sys.argv) > 3:
        report(build, cache, sys.argv[3])
    else:
        sys.exit(__doc__)
