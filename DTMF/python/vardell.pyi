"""DTMF keys in recordings and numpy arrays: decoding, test tones and redaction."""

import os
from typing import Literal, Optional, Union, overload

import numpy as np
import numpy.typing as npt

__version__: str

Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Samples = npt.NDArray[Union[np.int16, np.float32, np.float64]]
RedactSamples = npt.NDArray[Union[np.int16, np.int32, np.float32, np.float64]]

class Key:
    """One key: where its tone began and ended, and the command text it gave."""

    key: str
    """The key: one of 0-9, A-D, *, #."""
    start: float
    """Where its tone began, in seconds (to the millisecond)."""
    end: float
    """Where its tone ended, in seconds (to the millisecond)."""
    channel: Optional[int]
    """The channel it was heard on, from 1; None: the channels mixed down."""
    text: Optional[str]
    """The command text after this key, as a window receives it; None when it received none."""
    def __init__(
        self, key: str, start: float, end: float, channel: Optional[int] = None, text: Optional[str] = None
    ) -> None: ...

class Span:
    """One overwritten span of a redacted recording; never the key it held."""

    channel: int
    """The channel its keys were heard on, from 1; 0: several."""
    start: int
    """Its first frame."""
    end: int
    """The frame after its last."""
    fill: Literal["silence", "noise"]
    """What overwrote it."""

def decode(
    source: Union[Path, Samples],
    *,
    rate: Optional[int] = None,
    strict: bool = False,
    channel: Optional[int] = None,
    each_channel: bool = False,
) -> list[Key]:
    """Every key in a recording (a path) or in samples at `rate` Hz, in order."""

class KeyEngine:
    """A stream of samples decoded as it comes, in pieces of any size."""

    def __init__(self, rate: int = 11025, strict: bool = False) -> None: ...
    def feed(self, samples: Samples) -> list[Key]:
        """Takes the next 1-D samples and returns the keys that ended in them."""
    def flush(self) -> list[Key]:
        """Ends the stream and returns the keys it still held."""

def tones(
    keys: str,
    *,
    rate: int = 11025,
    tone_ms: float = 80,
    gap_ms: float = 60,
    level: float = -10,
    twist: float = 0,
    noise: Optional[float] = None,
    seed: int = 1,
) -> npt.NDArray[np.int16]:
    """The DTMF tones of `keys` as int16 samples, the signal `vardell tones` writes."""

@overload
def redact(
    source: Path,
    out: Path,
    *,
    rate: None = None,
    fill: Literal["silence", "noise"] = "silence",
    strict: bool = False,
) -> list[Span]: ...
@overload
def redact(
    source: RedactSamples,
    out: None = None,
    *,
    rate: int,
    fill: Literal["silence", "noise"] = "silence",
    strict: bool = False,
) -> tuple[RedactSamples, list[Span]]: ...
