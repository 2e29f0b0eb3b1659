#!/usr/bin/env python3
"""Decodes every recording under a folder on a Dask cluster, one task per file,
and writes the keys as JSON lines, the records of `vardell decode --format jsonl`.

    archive_dask.py calls/ keys.jsonl                       # a local cluster, one worker per core
    archive_dask.py calls/ keys.jsonl --workers 2
    archive_dask.py calls/ keys.jsonl --scheduler tcp://scheduler.example.org:8786

With --scheduler the tasks go to a running cluster (`dask-scheduler` on one
machine, `dask-worker tcp://scheduler.example.org:8786` on each of the others,
every one with `vardell` importable and the folder at the same path). The
records come in the order of the files' sorted paths, whatever worker decoded
them. A file that cannot be read gets a line on standard error, the others are
still decoded, and the exit status is 2.
"""
import argparse
import json
import os
import sys

from dask.distributed import Client, LocalCluster

import vardell

# What libsndfile reads; other files in the folder are left alone.
RECORDINGS = {".wav", ".flac", ".ogg", ".opus", ".mp3", ".aiff", ".aif", ".au", ".caf", ".w64", ".rf64"}


def recordings(folder):
    """Every recording under `folder`, by sorted path."""
    found = []
    for root, _, files in os.walk(folder):
        found += [os.path.join(root, f) for f in files if os.path.splitext(f)[1].lower() in RECORDINGS]
    return sorted(found)


def record(path, key):
    """One key as the tool writes it: the same fields, order and three decimals."""
    text = "null" if key.text is None else json.dumps(key.text, ensure_ascii=False)
    channel = "null" if key.channel is None else str(key.channel)
    return (f'{{"file":{json.dumps(path, ensure_ascii=False)},"channel":{channel},"key":{json.dumps(key.key)},'
            f'"start":{key.start:.3f},"end":{key.end:.3f},"text":{text}}}\n')


def decode_file(path, strict, each_channel):
    """Runs on a worker: the file's records as text, or the reason it cannot be read."""
    try:
        return "".join(record(path, k) for k in vardell.decode(path, strict=strict, each_channel=each_channel)), None
    except OSError as error:
        return "", str(error)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder")
    parser.add_argument("output", help="the JSON-lines file to write")
    parser.add_argument("--scheduler", help="a running cluster's scheduler address (default: a local cluster)")
    parser.add_argument("--workers", type=int, default=os.cpu_count(), help="local workers (default: one per core)")
    parser.add_argument("--strict", action="store_true", help="strict detection")
    parser.add_argument("--each-channel", action="store_true", help="decode every channel on its own")
    args = parser.parse_args()

    paths = recordings(args.folder)
    cluster = None if args.scheduler else LocalCluster(n_workers=args.workers, threads_per_worker=1,
                                                       dashboard_address=None)
    status = 0
    with Client(args.scheduler or cluster) as client, open(args.output + ".part", "w", encoding="utf-8") as out:
        futures = client.map(decode_file, paths, strict=args.strict, each_channel=args.each_channel, pure=False)
        for path, future in zip(paths, futures):  # in the files' order, as each is done
            lines, error = future.result()
            out.write(lines)
            if error:
                print(f"archive_dask: {error}", file=sys.stderr)
                status = 2
    if cluster:
        cluster.close()
    os.replace(args.output + ".part", args.output)
    return status


if __name__ == "__main__":
    sys.exit(main())
